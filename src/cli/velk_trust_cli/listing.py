"""list and show: the records as a table, or one of them in full."""
import json
import sys

from velk_trust_cli.output import figure, plural, print_json, print_table, short_time, summarize
from velk_trust_cli.status import CommandError, Status
from velk_trust_cli.stores import of_type, open_store, own_path, readable_records, stored_text, summaries

SORTS = {
    "id": lambda s: s["entity_id"],
    "level": lambda s: -s["t3_average"],
    "actions": lambda s: -s["action_count"],
    "last-action": lambda s: s["last_action"] or "",
}


def run_list(args):
    found = [f for f in readable_records(open_store(args)) if of_type(f["record"], args.type)]
    rows = summaries(found)
    rows.sort(key=SORTS[args.sort], reverse=args.sort == "last-action")
    summarize(f"{plural(len(rows), 'record')} listed")
    if args.json:
        print_json(rows)
        return Status.DONE
    print_table(["ID", "TYPE", "LEVEL", "T3", "V3", "ACTIONS", "SUCCESS", "WITNESSES", "LAST ACTION"],
                [[r["entity_id"] + (" (misplaced)" if r["misplaced"] else ""), r["entity_type"], r["level"],
                  figure(r["t3_average"]), figure(r["v3_average"]), r["action_count"], f"{r['success_rate']:.2f}",
                  r["witness_count"], short_time(r["last_action"])] for r in rows],
                right=(3, 4, 5, 6, 7))
    return Status.DONE


def found_record(store, entity_id, table):
    """The record at entity_id's own place, as a finding; else a misplaced copy of it (looked for
    only then: it takes a scan); else None."""
    record = store.find(entity_id)  # a misplaced record at the own place is refused by name
    if record is not None:
        rows = store.directory is None
        place = f"{table or 'velk_trust'}/{entity_id}" if rows else own_path(store, entity_id)
        return {"record": record, "row": rows, "path": place, "verdict": "record"}
    copies = [f for f in readable_records(store) if f["entity_id"] == entity_id]
    return copies[0] if copies else None


def run_show(args):
    store = open_store(args)
    finding = found_record(store, args.id, args.table)
    if finding is None:
        raise CommandError(f"no record of {args.id!r} in {store!r} (show creates none)", Status.PROBLEMS)
    text = stored_text(finding)
    if args.raw:
        sys.stdout.buffer.write(text)
        # Exactly the stored bytes to a file or a pipe; a terminal's prompt gets a line of its own.
        if sys.stdout.isatty() and not text.endswith(b"\n"):
            sys.stdout.buffer.write(b"\n")
        sys.stdout.buffer.flush()
        return Status.DONE
    e = finding["record"]
    data = json.loads(text)
    data.update(level=e.trust_level(), t3_average=e.t3_average(), v3_average=e.v3_average(),
                success_rate=e.success_rate(), days_since_last_action=e.days_since_last_action(),
                path=finding["path"], misplaced=finding["verdict"] == "misplaced")
    if args.json:
        print_json(data)
        return Status.DONE
    width = max(len(key) for key in data)
    for key, value in data.items():
        if isinstance(value, list):
            value = ", ".join(value) if value else "-"
        elif value is None:
            value = "-"
        elif key == "days_since_last_action":
            value = f"{value:.2f}"
        elif isinstance(value, bool):
            value = "yes" if value else "no"
        else:
            value = figure(value)
        print(f"{key.ljust(width)}  {value}")
    return Status.DONE

