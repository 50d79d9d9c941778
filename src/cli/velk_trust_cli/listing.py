"""list and show: the records as a table, or one of them in full."""
import json
import sys

from velk_trust_cli.output import print_table, short_time
from velk_trust_cli.status import CommandError, Status
from velk_trust_cli.stores import kind_of, open_store, readable_records, stored_text, summary

SORTS = {
    "id": lambda s: s["entity_id"],
    "level": lambda s: -s["t3_average"],
    "actions": lambda s: -s["action_count"],
    "last-action": lambda s: s["last_action"] or "",
}


def run_list(args):
    rows = [summary(f) for f in readable_records(open_store(args))]
    if args.type is not None:
        rows = [r for r in rows if r["kind"] == kind_of(args.type)]
    rows.sort(key=SORTS[args.sort], reverse=args.sort == "last-action")
    if args.json:
        print(json.dumps(rows, indent=2))
        return Status.DONE
    print_table(["ID", "KIND", "LEVEL", "T3", "V3", "ACTIONS", "SUCCESS", "WITNESSES", "LAST ACTION"],
                [[r["entity_id"] + (" (misplaced)" if r["misplaced"] else ""), r["kind"], r["level"],
                  f"{r['t3_average']:.3f}", f"{r['v3_average']:.3f}", r["action_count"], f"{r['success_rate']:.2f}",
                  r["witness_count"], short_time(r["last_action"])] for r in rows],
                right=(3, 4, 5, 6, 7))
    return Status.DONE


def run_show(args):
    store = open_store(args)
    found = [f for f in readable_records(store) if f["entity_id"] == args.id]
    # The record at its own path is the one update and get use; a misplaced copy only if there is no other.
    found.sort(key=lambda f: f["verdict"] != "record")
    if not found:
        raise CommandError(f"no record of {args.id!r} in {store!r} (show creates none)")
    finding = found[0]
    text = stored_text(finding)
    if args.raw:
        sys.stdout.buffer.write(text)
        sys.stdout.buffer.flush()
        return Status.DONE
    e = finding["record"]
    data = json.loads(text)
    data.update(level=e.trust_level(), success_rate=e.success_rate(),
                days_since_last_action=e.days_since_last_action(), path=finding["path"])
    if args.json:
        print(json.dumps(data, indent=2))
        return Status.DONE
    width = max(len(key) for key in data)
    for key, value in data.items():
        if isinstance(value, list):
            value = ", ".join(value) if value else "-"
        elif value is None:
            value = "-"
        print(f"{key.ljust(width)}  {value}")
    return Status.DONE
