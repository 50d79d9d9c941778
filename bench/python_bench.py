"""Binding and store benchmarks, side by side in one interpreter.

    python bench/python_bench.py [--records 10000] [--dir /dev/shm]

--dir chooses where the temporary record directories are made: a write costs what the file
system makes a file creation and a rename cost, so tmpfs shows the library's own share.
"""
import argparse
import math
import tempfile
import timeit

import velk_trust
from velk_trust import T3Tensor, TrustStore


def per_call(stmt, number, globals_):
    best = min(timeit.repeat(stmt, number=number, repeat=5, globals=globals_))
    return best / number


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--records", type=int, default=10_000)
    parser.add_argument("--dir", default=None, help="parent of the temporary record directories")
    args = parser.parse_args()

    t = T3Tensor()
    g = {"t": t, "math": math}
    ours = per_call("t.update_from_outcome(True, 0.5)", 1_000_000, g)
    builtin = per_call("math.copysign(1.0, 0.5)", 1_000_000, g)
    kw = per_call("t.update_from_outcome(success=True, magnitude=0.5)", 1_000_000, g)
    print(f"T3Tensor.update_from_outcome(True, 0.5)   {ours * 1e9:8.1f} ns")
    print(f"  ... by keyword                          {kw * 1e9:8.1f} ns")
    print(f"math.copysign(1.0, 0.5)                   {builtin * 1e9:8.1f} ns   (ratio {ours / builtin:.2f})")

    with tempfile.TemporaryDirectory(prefix="velk-bench-", dir=args.dir) as tmp:
        store = TrustStore(tmp)
        store.get("session:bench")
        store.get("mcp:bench")
        g = {"store": store}
        print(f"TrustStore.get (existing record)          {per_call('store.get(\"session:bench\")', 2000, g) * 1e6:8.1f} us")
        print(f"TrustStore.update                         {per_call('store.update(\"session:bench\", True, 0.5)', 2000, g) * 1e6:8.1f} us")
        print(f"TrustStore.witness                        {per_call('store.witness(\"session:bench\", \"mcp:bench\", True, 0.5)', 1000, g) * 1e6:8.1f} us")

    with tempfile.TemporaryDirectory(prefix="velk-bench-", dir=args.dir) as tmp:
        store = TrustStore(tmp)
        for k in range(args.records):
            store.get(f"{('mcp', 'session', 'role')[k % 3]}:entity-{k}")
        g = {"store": store}
        listing = min(timeit.repeat("store.list_entities()", number=1, repeat=5, globals=g))
        by_kind = min(timeit.repeat("store.list_entities('mcp')", number=1, repeat=5, globals=g))
        print(f"list_entities() over {args.records} records      {listing * 1e3:8.1f} ms")
        print(f"list_entities('mcp') over {args.records} records {by_kind * 1e3:8.1f} ms")
    print(f"(velk_trust {velk_trust.__version__})")


if __name__ == "__main__":
    main()
