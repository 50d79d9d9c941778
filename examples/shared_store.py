"""The tour's story on a shared database store: sessions on two "hosts" (two processes) call MCP
tools, record outcomes and witness each other's calls in one PostgreSQL table, and either host sees
the other's records. Give the server as an argument or in VELK_TRUST_DATABASE, e.g. the text
`scripts/postgres.sh start DIR` prints; without one it says so and stops."""
import multiprocessing
import os
import random
import sys
import uuid

from velk_trust import TrustStore

TOOLS = {"mcp:filesystem": 0.95, "mcp:web-search": 0.80, "mcp:code-runner": 0.55}


def host(url: str, table: str, session: str, seed: int) -> None:
    """One machine's agent: its own process, its own connection, the shared table."""
    store = TrustStore.connect(url, table=table)
    rng = random.Random(seed)
    for _ in range(40):
        tool = rng.choice(sorted(TOOLS))
        success = rng.random() < TOOLS[tool]
        store.update(tool, success, 0.5)
        store.witness(session, tool, success, 0.3)


def main() -> int:
    url = sys.argv[1] if len(sys.argv) > 1 else os.environ.get("VELK_TRUST_DATABASE", "")
    if not url:
        print("no database given (an argument or VELK_TRUST_DATABASE); nothing to do")
        return 0
    table = "tour_" + uuid.uuid4().hex[:8]
    store = TrustStore.connect(url, table=table)
    print(f"== two hosts share {store!r}\n")
    hosts = [multiprocessing.Process(target=host, args=(url, table, f"session:host-{k}", k)) for k in (1, 2)]
    for p in hosts:
        p.start()
    for p in hosts:
        p.join()
        if p.exitcode != 0:
            return 1
    print(f"{'entity':<24} {'level':<12} {'T3':>6} {'actions':>8} {'witnesses':>10}")
    for record in sorted(store.get_by_type("mcp"), key=lambda e: -e.t3_average()):
        print(f"{record.entity_id:<24} {record.trust_level():<12} {record.t3_average():>6.3f} "
              f"{record.action_count:>8} {record.witness_count:>10}")
    total = sum(e.action_count for e in store.get_by_type("mcp"))
    print(f"\n{total} outcomes from both hosts, none lost; sessions: {sorted(store.list_entities('session'))}")
    return 0 if total == 80 else 1


if __name__ == "__main__":
    sys.exit(main())
