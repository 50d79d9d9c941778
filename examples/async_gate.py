"""Tool gating in an asyncio server: an agent's tool calls are allowed while the tool's trust is at
least "medium", each outcome is recorded, and a call that takes too long is given up with nothing
written. Runs on a temporary record directory, or on the database given as an argument or in
VELK_TRUST_DATABASE (the text `scripts/postgres.sh start DIR` prints)."""
import asyncio
import os
import random
import sys
import tempfile

from velk_trust import AsyncTrustStore

TRUSTED = ("high", "medium-high", "medium")
TOOLS = {"mcp:filesystem": 0.95, "mcp:web-search": 0.75, "mcp:shell": 0.25}


async def call_tool(store: AsyncTrustStore, session: str, tool: str, rng: random.Random) -> str:
    """Gate, run and score one tool call of one session."""
    record = await store.find(tool)  # creates nothing for an unknown tool
    if record is not None and record.trust_level() not in TRUSTED:
        return f"{session}: {tool} refused ({record.trust_level()})"
    await asyncio.sleep(rng.random() / 100)  # the tool's own work
    success = rng.random() < TOOLS[tool]
    # Scoring may wait for a lock another client holds: bounded, and given up whole if it runs over.
    async with asyncio.timeout(2):
        updated = await store.update(tool, success, 0.8)
        await store.witness(session, tool, success, 0.3)
    return f"{session}: {tool} {'ok' if success else 'failed'}, now {updated.trust_level()}"


async def agent(store: AsyncTrustStore, session: str, seed: int) -> list[str]:
    rng = random.Random(seed)
    return [await call_tool(store, session, rng.choice(sorted(TOOLS)), rng) for _ in range(12)]


async def main() -> int:
    url = sys.argv[1] if len(sys.argv) > 1 else os.environ.get("VELK_TRUST_DATABASE", "")
    store = await AsyncTrustStore.connect(url, table="gate_example") if url else AsyncTrustStore(tempfile.mkdtemp())
    async with store:
        print(f"== five sessions at once on {store!r}\n")
        logs = await asyncio.gather(*(agent(store, f"session:agent-{k}", k) for k in range(5)))
        for line in logs[0]:
            print(line)
        print()
        for tool in sorted(TOOLS):
            e = await store.get(tool)
            print(f"{tool:<16} {e.trust_level():<12} actions {e.action_count:>3}  success {e.success_rate():.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(asyncio.run(main()))
