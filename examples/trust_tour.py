"""A tour of velk_trust: sessions call MCP tools, outcomes and witness events move trust, a quiet
month decays it, and the record directory is listed by kind. Runs on a temporary directory."""
import json
import pathlib
import random
import subprocess
import sys
import tempfile
from collections.abc import Callable, Sequence
from typing import Any

import velk_trust
from velk_trust import EntityTrust, T3Tensor, TrustStore

TOOLS = {
    # tool: probability that a call succeeds
    "mcp:filesystem": 0.95,
    "mcp:web-search": 0.80,
    "mcp:code-runner": 0.55,
    "mcp:flaky-scraper": 0.25,
}
SESSIONS = ["session:alice-research", "session:bob-build", "session:carol-review"]


def table(rows: Sequence[Sequence[Any]], headers: Sequence[str]) -> None:
    widths = [max(len(str(x)) for x in col) for col in zip(headers, *rows)]
    line = "  ".join("{:<%d}" % w for w in widths)
    print(line.format(*headers))
    print(line.format(*("-" * w for w in widths)))
    for row in rows:
        print(line.format(*row))
    print()


def tensor_story() -> None:
    print("== One agent's T3 tensor: successes, failures, then a quiet spell\n")
    t = T3Tensor.neutral()
    rows = [("start", f"{t.talent:.4f}", f"{t.training:.4f}", f"{t.temperament:.4f}", f"{t.average():.4f}", t.level())]
    def outcomes(success: bool, magnitude: float, times: int) -> Callable[[], None]:
        def step() -> None:
            for _ in range(times):
                t.update_from_outcome(success, magnitude)
        return step

    steps: list[tuple[str, Callable[[], object]]] = [
        ("success x5", outcomes(True, 1.0, 5)),
        ("failure x2", outcomes(False, 0.8, 2)),
        ("success x10", outcomes(True, 0.9, 10)),
        ("30 idle days", lambda: t.apply_decay(30, 0.02)),
    ]
    for label, step in steps:
        step()
        rows.append((label, f"{t.talent:.4f}", f"{t.training:.4f}", f"{t.temperament:.4f}",
                     f"{t.average():.4f}", t.level()))
    table(rows, ["step", "talent", "training", "temperament", "average", "level"])


def workflow(store: TrustStore, rng: random.Random) -> None:
    print("== A day of work: sessions call tools, and witness each other's results\n")
    for _ in range(40):
        session = rng.choice(SESSIONS)
        tool = rng.choice(list(TOOLS))
        ok = rng.random() < TOOLS[tool]
        store.update(tool, ok, rng.uniform(0.4, 1.0))
        store.update(session, ok, 0.3)
        # The session vouches for (or against) the tool it just used.
        store.witness(session, tool, ok, 0.5)
    # Reviews between sessions.
    store.witness("session:carol-review", "session:bob-build", True, 0.8)
    store.witness("session:carol-review", "session:alice-research", True, 0.6)
    store.witness("session:alice-research", "session:bob-build", False, 0.4)


def entity_rows(store: TrustStore, ids: Sequence[str]) -> list[tuple[Any, ...]]:
    rows: list[tuple[Any, ...]] = []
    for entity_id in ids:
        e = store.get(entity_id)
        rows.append((e.entity_id, e.action_count, f"{e.success_rate():.2f}", e.witness_count,
                     f"{e.t3_average():.3f}", f"{e.v3_average():.3f}", e.trust_level()))
    return rows


HEADERS = ["entity", "actions", "success", "witnessed", "T3 avg", "V3 avg", "level"]


def main() -> None:
    rng = random.Random(7)
    tensor_story()
    with tempfile.TemporaryDirectory(prefix="velk-trust-tour-") as tmp:
        directory = pathlib.Path(tmp) / "entities"
        store = TrustStore(str(directory))
        print(f"Record store: {store!r}\n")
        workflow(store, rng)

        print("== Tools (list_entities('mcp'))\n")
        table(entity_rows(store, sorted(store.list_entities("mcp"))), HEADERS)
        print("== Sessions (get_by_type('session'))\n")
        sessions: list[EntityTrust] = sorted(store.get_by_type("session"), key=lambda e: e.entity_id)
        table([(e.entity_id, e.action_count, f"{e.success_rate():.2f}", e.witness_count,
                f"{e.t3_average():.3f}", f"{e.v3_average():.3f}", e.trust_level()) for e in sessions], HEADERS)

        print("== A month without activity for the scraper (decay 2% a day)\n")
        scraper = store.get("mcp:flaky-scraper")
        before = scraper.t3_average()
        moved = scraper.apply_decay(30, 0.02)
        store.save(scraper)
        print(f"mcp:flaky-scraper T3 average {before:.3f} -> {scraper.t3_average():.3f} "
              f"(training moved: {moved}), level now {scraper.trust_level()}\n")

        print("== Every entity, most trusted first\n")
        everyone = sorted(store.list_entities(), key=lambda i: -store.get(i).t3_average())
        table(entity_rows(store, everyone), HEADERS)

        path = next(directory.glob("*.json"))
        print(f"== One record file as stored: {path.name}\n")
        text = path.read_text()
        lines = text.splitlines()
        print("\n".join(lines[:40] + (["  ..."] if len(lines) > 40 else [])))
        record = json.loads(text)
        n = len(record['witnessed_by'])
        print(f"\n({len(text)} bytes; {record['entity_id']} has {n} distinct witness{'' if n == 1 else 'es'})")

        # The same store from the command line, as someone looking after it would see it.
        for args in (["list", "--sort", "level"], ["check"]):
            print(f"\n== velk-trust --store {directory} {' '.join(args)}\n", flush=True)
            subprocess.run([sys.executable, "-m", "velk_trust_cli", "--store", str(directory), *args])
    print(f"\nvelk_trust {velk_trust.__version__}: temporary record directory removed.")


if __name__ == "__main__":
    main()
