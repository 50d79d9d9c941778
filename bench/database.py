"""The database store against the same operations written in pure Python with psycopg 3: the same
SQL, the same transactions, on the same local server over its Unix socket. Prints each operation's
time per call, the ratio (velk_trust / psycopg; the targets: get at most 0.7, update and witness at
most 0.6) and the time of a listing by kind over 100,000 rows of which 100 match (target: 5 ms).

    python bench/database.py "host=/tmp/dir port=5432 user=postgres dbname=postgres" [--quick]
"""
import argparse
import json
import time
import uuid

import psycopg

import velk_trust


def best_of(fn, calls, rounds=5):
    """The best round's time per call, in microseconds."""
    best = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        for _ in range(calls):
            fn()
        best = min(best, (time.perf_counter() - start) / calls * 1e6)
    return best


class PsycopgStore:
    """What a user would write: records as JSON texts in the same table layout."""

    def __init__(self, url, table):
        self.conn = psycopg.connect(url, autocommit=True)
        self.table = table
        self.conn.execute(f'CREATE TABLE IF NOT EXISTS "{table}" (key bytea PRIMARY KEY, entity_id bytea NOT NULL, '
                          "entity_type bytea NOT NULL, record text NOT NULL)")

    def get(self, entity_id):
        row = self.conn.execute(f'SELECT record FROM "{self.table}" WHERE key = %s', (entity_id.encode(),),
                                prepare=True).fetchone()
        return json.loads(row[0])

    def update(self, entity_id, success, magnitude):
        with self.conn.transaction():
            row = self.conn.execute(f'SELECT record FROM "{self.table}" WHERE key = %s FOR UPDATE',
                                    (entity_id.encode(),), prepare=True).fetchone()
            record = json.loads(row[0])
            record["action_count"] += 1
            record["success_count"] += 1 if success else 0
            record["training"] = min(1.0, record["training"] + 0.05 * magnitude * (1 - record["training"]))
            self.conn.execute(f'UPDATE "{self.table}" SET record = %s WHERE key = %s',
                              (json.dumps(record, indent=2), entity_id.encode()), prepare=True)
        return record

    def witness(self, witness_id, target_id, success, magnitude):
        keys = sorted([witness_id.encode(), target_id.encode()])
        with self.conn.transaction():
            rows = self.conn.execute(f'SELECT key, record FROM "{self.table}" WHERE key = ANY(%s) ORDER BY key '
                                     "FOR UPDATE", (keys,), prepare=True).fetchall()
            records = {bytes(k): json.loads(r) for k, r in rows}
            target, witness = records[target_id.encode()], records[witness_id.encode()]
            target["witness_count"] += 1
            if witness_id not in target["witnessed_by"]:
                target["witnessed_by"].append(witness_id)
            if target_id not in witness["has_witnessed"]:
                witness["has_witnessed"].append(target_id)
            for key, record in ((target_id, target), (witness_id, witness)):
                self.conn.execute(f'UPDATE "{self.table}" SET record = %s WHERE key = %s',
                                  (json.dumps(record, indent=2), key.encode()), prepare=True)
        return witness, target


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("url")
    parser.add_argument("--quick", action="store_true", help="few calls: a smoke run, judging nothing")
    args = parser.parse_args()
    calls = 50 if args.quick else 2000

    table = "bench_" + uuid.uuid4().hex[:8]
    ours = velk_trust.TrustStore.connect(args.url, table=table)
    theirs = PsycopgStore(args.url, table)
    ours.witness("agent:w", "mcp:t", True, 0.5)

    rows = [
        ("get", lambda: ours.get("mcp:t"), lambda: theirs.get("mcp:t"), 0.7),
        ("update", lambda: ours.update("mcp:t", True, 0.5), lambda: theirs.update("mcp:t", True, 0.5), 0.6),
        ("witness", lambda: ours.witness("agent:w", "mcp:t", True, 0.5),
         lambda: theirs.witness("agent:w", "mcp:t", True, 0.5), 0.6),
    ]
    print(f"{'operation':<10} {'velk_trust us':>14} {'psycopg us':>11} {'ratio':>6} {'target':>7}")
    for name, mine, other, target in rows:
        # Rounds taken in turn, so that neither side has the quieter moments of the machine.
        a = b = float("inf")
        for _ in range(5):
            a, b = min(a, best_of(mine, calls, 1)), min(b, best_of(other, calls, 1))
        print(f"{name:<10} {a:>14.1f} {b:>11.1f} {a / b:>6.2f} {'<= ' + str(target):>7}")

    # 100,000 rows, 100 of them of kind mcp: the listing reads only those through the index.
    big = "bench_" + uuid.uuid4().hex[:8]
    listed = velk_trust.TrustStore.connect(args.url, table=big)
    total, matching = (2000, 100) if args.quick else (100_000, 100)
    for k in range(matching):
        listed.get(f"mcp:tool-{k}")
    template = listed.get("session:template")
    text = open_text = None
    with psycopg.connect(args.url, autocommit=True) as conn:
        open_text = conn.execute(f'SELECT record FROM "{big}" WHERE key = %s', (b"session:template",)).fetchone()[0]
        text = open_text.replace('"session:template"', '"session:s-{k}"')
        with conn.cursor().copy(f'COPY "{big}" (key, entity_id, entity_type, record) FROM STDIN') as copy:
            for k in range(total - matching - 1):
                entity_id = f"session:s-{k}".encode()
                copy.write_row((entity_id, entity_id, b"session", text.replace("{k}", str(k))))
        conn.execute(f'ANALYZE "{big}"')
    assert template.entity_type == "session"
    ms = best_of(lambda: listed.list_entities("mcp"), 20) / 1000
    assert len(listed.list_entities("mcp")) == matching
    print(f"list_entities('mcp') over {total} rows, {matching} matching: {ms:.2f} ms (target: under 5 ms)")


if __name__ == "__main__":
    main()
