"""The SQLite store side by side in one run: against the record directory on the same medium, and
against what a Python user would write with the standard library's sqlite3 (the same table layout,
WAL, BEGIN IMMEDIATE, the same synchronous setting, the record logic of bench/baseline.py), on the
disk and on tmpfs, at synchronous=normal and full; and get_by_type of 100 records among 100,000.

    python bench/sqlite_store.py [--quick] [--disk DIR] [--tmpfs DIR]

The targets: get at most 1.5 times the directory's; update and witness at synchronous=normal at
most the directory's on the disk; every call at most 0.5 of the sqlite3 baseline's; the listing by
kind under 1 ms.
"""
import argparse
import os
import shutil
import sqlite3
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import baseline  # noqa: E402

import velk_trust  # noqa: E402


def best_of(fn, calls, rounds=1):
    best = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        for _ in range(calls):
            fn()
        best = min(best, (time.perf_counter() - start) / calls * 1e6)
    return best


class Sqlite3Store:
    """A competent stdlib implementation: one connection, autocommit off only inside transactions,
    statements cached by the module, records as the baseline's JSON texts."""

    def __init__(self, path, table, synchronous):
        self.db = sqlite3.connect(path, isolation_level=None, check_same_thread=False)
        self.db.execute("PRAGMA journal_mode=WAL")
        self.db.execute(f"PRAGMA synchronous={synchronous}")
        self.t = f'"{table}"'
        self.db.execute(f"CREATE TABLE IF NOT EXISTS {self.t} (entity_id BLOB PRIMARY KEY NOT NULL, "
                        "entity_type BLOB NOT NULL, record TEXT NOT NULL)")
        self.db.execute(f'CREATE INDEX IF NOT EXISTS "{table}_kind" ON {self.t} (entity_type, entity_id)')

    def _read(self, entity_id):
        row = self.db.execute(f"SELECT record FROM {self.t} WHERE entity_id = ?", (entity_id.encode(),)).fetchone()
        return baseline.EntityTrust.from_json(row[0]) if row else None

    def _write(self, record):
        self.db.execute(f"INSERT INTO {self.t} (entity_id, entity_type, record) VALUES (?, ?, ?) ON CONFLICT "
                        "(entity_id) DO UPDATE SET entity_type = excluded.entity_type, record = excluded.record",
                        (record.entity_id.encode(), record.entity_type.encode(), record.to_json()))

    def get(self, entity_id):
        record = self._read(entity_id)
        if record is None:
            record = baseline.EntityTrust(entity_id)
            self._write(record)
        return record

    def update(self, entity_id, success, magnitude):
        self.db.execute("BEGIN IMMEDIATE")
        try:
            record = self._read(entity_id) or baseline.EntityTrust(entity_id)
            record.update_from_outcome(success, magnitude)
            self._write(record)
            self.db.execute("COMMIT")
        except BaseException:
            self.db.execute("ROLLBACK")
            raise
        return record

    def witness(self, witness_id, target_id, success, magnitude):
        self.db.execute("BEGIN IMMEDIATE")
        try:
            witness = self._read(witness_id) or baseline.EntityTrust(witness_id)
            target = self._read(target_id) or baseline.EntityTrust(target_id)
            target.receive_witness(witness_id, success, magnitude)
            witness.give_witness(target_id, success, magnitude)
            self._write(target)
            self._write(witness)
            self.db.execute("COMMIT")
        except BaseException:
            self.db.execute("ROLLBACK")
            raise
        return witness, target


def operations(folder, synchronous, calls):
    directory = velk_trust.TrustStore(os.path.join(folder, f"records-{synchronous}"))
    path = os.path.join(folder, f"trust-{synchronous}.db")
    ours = velk_trust.TrustStore.connect(f"sqlite:{path}?synchronous={synchronous}")
    theirs = Sqlite3Store(os.path.join(folder, f"stdlib-{synchronous}.db"), "velk_trust", synchronous)
    for store in (directory, ours, theirs):
        store.witness("agent:w", "mcp:t", True, 0.5)
    rows = [
        ("get", lambda s: s.get("mcp:t")),
        ("update", lambda s: s.update("mcp:t", True, 0.5)),
        ("witness", lambda s: s.witness("agent:w", "mcp:t", True, 0.5)),
    ]
    for name, call in rows:
        a = b = c = float("inf")
        # Rounds taken in turn, so that no side has the quieter moments of the machine.
        for _ in range(5):
            a = min(a, best_of(lambda: call(ours), calls))
            b = min(b, best_of(lambda: call(directory), calls))
            c = min(c, best_of(lambda: call(theirs), calls))
        print(f"  {synchronous:<7} {name:<8} {a:>9.1f} {b:>10.1f} {a / b:>6.2f} {c:>10.1f} {a / c:>6.2f}")


def listing(folder, total):
    path = os.path.join(folder, "listed.db")
    store = velk_trust.TrustStore.connect(f"sqlite:{path}?synchronous=normal")
    for k in range(100):
        store.get(f"mcp:tool-{k}")
    text = store.get("session:template").to_json()
    with sqlite3.connect(path) as db:
        db.executemany('INSERT INTO "velk_trust" (entity_id, entity_type, record) VALUES (?, ?, ?)',
                       ((f"session:s-{k}".encode(), b"session", text.replace('"session:template"', f'"session:s-{k}"'))
                        for k in range(total - 101)))
    assert len(store.get_by_type("mcp")) == 100
    ms = best_of(lambda: store.get_by_type("mcp"), 20, rounds=3) / 1000
    print(f"get_by_type('mcp') over {total} rows, 100 matching: {ms:.3f} ms (target: under 1 ms)")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="few calls: a smoke run, judging nothing")
    parser.add_argument("--disk", default="/var/tmp", help="a folder on the disk")
    parser.add_argument("--tmpfs", default="/dev/shm", help="a folder on tmpfs")
    args = parser.parse_args()
    calls = 20 if args.quick else 500
    for label, parent in (("disk", args.disk), ("tmpfs", args.tmpfs)):
        if not os.path.isdir(parent):
            continue
        folder = tempfile.mkdtemp(prefix="velk-bench-", dir=parent)
        try:
            print(f"{label} ({parent}): sqlite store, directory store, ratio (targets: get <= 1.5, update and "
                  f"witness at normal on the disk <= 1.0), stdlib sqlite3, ratio (target <= 0.5); us per call")
            for synchronous in ("normal", "full"):
                operations(folder, synchronous, calls)
            if label == "disk":
                listing(folder, 2000 if args.quick else 100_000)
        finally:
            shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
