"""velk-trust: look after a velk_trust record store from the command line.

    velk-trust [--store PATH] list [--type KIND] [--sort id|level|actions|last-action] [--json]
    velk-trust [--store PATH] show ID [--raw] [--json]
    velk-trust [--store PATH] check [--json]
    velk-trust [--store PATH] decay --days N --rate R [--type KIND] [--min-idle D] [--json]

list, show and check write nothing. Exit status: 0 on success, 1 when check finds problems, show
finds no record or the store fails (one line on stderr), 2 on a usage error, 130 on Ctrl-C.
"""
import argparse
import json
import os
import sys

import velk_trust

KINDS = ("mcp", "role", "session", "ref", "lct")
# Verdicts of TrustStore.check() that are problems; "record" and "unknown" are not.
PROBLEMS = ("misplaced", "unreadable", "not a regular file", "temporary")


class CommandError(Exception):
    """A failure to report in one line, with exit status 1."""


def kind_of(text):
    """The kind a type text counts as: the text before the first ':' of a query, any unknown one 'other'."""
    text = text.split(":", 1)[0]
    return text if text in KINDS else "other"


def open_store(args):
    """The store to look at. Opening one creates its directory, so a missing one is refused here."""
    directory = args.store
    if directory is None:
        home = os.environ.get("HOME", os.environ.get("USERPROFILE"))
        if home is None:
            return velk_trust.TrustStore()  # raises "Storage error: Cannot find home directory"
        directory = os.path.join(home, ".velk", "governance", "entities")
    if not os.path.isdir(directory):
        raise CommandError(f"no record directory at {directory!r}")
    return velk_trust.TrustStore(directory)


def stored_text(path):
    with open(path, "rb") as f:
        return f.read()


def stored_times(path):
    """created_at and last_action as the record file holds them (a record object shows no timestamps)."""
    try:
        data = json.loads(stored_text(path))
    except (OSError, ValueError):
        return None, None
    return data.get("created_at"), data.get("last_action")


def readable_records(store):
    return [f for f in store.check() if f["record"] is not None]


def summary(finding):
    e = finding["record"]
    _, last_action = stored_times(finding["path"])
    return {
        "entity_id": e.entity_id, "kind": kind_of(e.entity_type), "level": e.trust_level(),
        "t3_average": e.t3_average(), "v3_average": e.v3_average(), "action_count": e.action_count,
        "success_rate": e.success_rate(), "witness_count": e.witness_count, "last_action": last_action,
        "path": finding["path"], "misplaced": finding["verdict"] == "misplaced",
    }


def print_table(header, rows, right=()):
    """Columns as wide as their widest cell; the columns numbered in right are aligned right."""
    widths = [max(len(str(cell)) for cell in column) for column in zip(header, *rows)]
    for row in [header, *rows]:
        cells = [str(c).rjust(w) if k in right else str(c).ljust(w) for k, (c, w) in enumerate(zip(row, widths))]
        print("  ".join(cells).rstrip())


def short_time(text):
    """A stored timestamp to the second, for a table: 2026-12-08T09:15:02.481516Z -> 2026-12-08 09:15:02."""
    return "-" if text is None else text[:19].replace("T", " ")


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
        return 0
    print_table(["ID", "KIND", "LEVEL", "T3", "V3", "ACTIONS", "SUCCESS", "WITNESSES", "LAST ACTION"],
                [[r["entity_id"] + (" (misplaced)" if r["misplaced"] else ""), r["kind"], r["level"],
                  f"{r['t3_average']:.3f}", f"{r['v3_average']:.3f}", r["action_count"], f"{r['success_rate']:.2f}",
                  r["witness_count"], short_time(r["last_action"])] for r in rows],
                right=(3, 4, 5, 6, 7))
    return 0


def run_show(args):
    store = open_store(args)
    found = [f for f in readable_records(store) if f["entity_id"] == args.id]
    # The record at its own path is the one update and get use; a misplaced copy only if there is no other.
    found.sort(key=lambda f: f["verdict"] != "record")
    if not found:
        raise CommandError(f"no record of {args.id!r} in {store!r} (show creates none)")
    finding = found[0]
    text = stored_text(finding["path"])
    if args.raw:
        sys.stdout.buffer.write(text)
        sys.stdout.buffer.flush()
        return 0
    e = finding["record"]
    data = json.loads(text)
    data.update(level=e.trust_level(), success_rate=e.success_rate(),
                days_since_last_action=e.days_since_last_action(), path=finding["path"])
    if args.json:
        print(json.dumps(data, indent=2))
        return 0
    width = max(len(key) for key in data)
    for key, value in data.items():
        if isinstance(value, list):
            value = ", ".join(value) if value else "-"
        elif value is None:
            value = "-"
        print(f"{key.ljust(width)}  {value}")
    return 0


def run_check(args):
    findings = sorted(open_store(args).check(), key=lambda f: f["path"])
    problems = [f for f in findings if f["verdict"] in PROBLEMS]
    if args.json:
        print(json.dumps([{k: f[k] for k in ("path", "verdict", "entity_id", "detail")} for f in findings], indent=2))
    else:
        for f in findings:
            about = " ".join(x for x in (f["entity_id"] and repr(f["entity_id"]), f["detail"]) if x)
            print(f"{f['verdict']:<18}  {f['path']}" + (f"  {about}" if about else ""))
        records = sum(1 for f in findings if f["verdict"] == "record")
        print(f"{len(findings)} entries: {records} records in place, {len(problems)} "
              f"problem{'' if len(problems) == 1 else 's'}")
    return 1 if problems else 0


def run_decay(args):
    store = open_store(args)
    findings = store.check()
    chosen = [f["entity_id"] for f in findings if f["verdict"] == "record" and
              (args.type is None or kind_of(f["record"].entity_type) == kind_of(args.type))]
    misplaced = sum(1 for f in findings if f["verdict"] == "misplaced")
    changed = done = 0
    try:
        for entity_id in chosen:
            # Each record under the directory lock, saved atomically: Ctrl-C leaves it decayed or untouched.
            changed += store.decay(entity_id, args.days, args.rate, args.min_idle)
            done += 1
    except KeyboardInterrupt:
        print(f"velk-trust: interrupted after {done} of {len(chosen)} records ({changed} decayed); "
              "the others are untouched", file=sys.stderr)
        return 130
    if args.json:
        print(json.dumps({"records": len(chosen), "decayed": changed, "misplaced_skipped": misplaced}))
    else:
        print(f"{changed} of {len(chosen)} records decayed" +
              (f"; {misplaced} misplaced copies skipped (see check)" if misplaced else ""))
    return 0


def build_parser():
    def formatter(prog):
        return argparse.RawDescriptionHelpFormatter(prog, max_help_position=32)

    common = argparse.ArgumentParser(add_help=False)
    # Given here or before the command; SUPPRESS keeps a value given before it.
    common.add_argument("--store", metavar="PATH", default=argparse.SUPPRESS,
                        help="the record directory (default: the one TrustStore() opens)")
    parser = argparse.ArgumentParser(prog="velk-trust", description=__doc__.split("\n\n")[0],
                                     formatter_class=formatter, epilog="example:\n  velk-trust --store ./records check")
    parser.add_argument("--store", metavar="PATH", default=None,
                        help="the record directory (default: the one TrustStore() opens)")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name, run, summary_text, example):
        sub = commands.add_parser(name, parents=[common], help=summary_text, description=summary_text,
                                  formatter_class=formatter, epilog=f"example:\n  {example}")
        sub.set_defaults(run=run)
        sub.add_argument("--json", action="store_true", help="print JSON for scripts instead of a table")
        return sub

    sub = command("list", run_list, "one line per entity: identifier, kind, level, averages, counts, last action",
                  "velk-trust list --type mcp --sort level")
    sub.add_argument("--type", metavar="KIND", help="only entities of this kind (mcp, role, session, ref, lct, other)")
    sub.add_argument("--sort", choices=list(SORTS), default="id", help="order of the lines (default: id)")
    sub = command("show", run_show, "one record in full, with its level, success rate and days since its last action",
                  "velk-trust show mcp:filesystem")
    sub.add_argument("id", metavar="ID", help="the entity identifier, e.g. mcp:filesystem")
    sub.add_argument("--raw", action="store_true", help="print the stored text exactly")
    command("check", run_check, "every entry of the record directory with its verdict; exit status 1 on problems",
            "velk-trust check --json")
    sub = command("decay", run_decay, "let trust decay: apply_decay(N, R) to every record (idle ones with "
                  "--min-idle), each under the directory lock", "velk-trust decay --days 30 --rate 0.01 --min-idle 30")
    sub.add_argument("--days", type=float, required=True, metavar="N", help="days of inactivity to apply")
    sub.add_argument("--rate", type=float, required=True, metavar="R", help="decay rate per day")
    sub.add_argument("--type", metavar="KIND", help="only entities of this kind")
    sub.add_argument("--min-idle", type=float, default=0.0, metavar="D",
                     help="only records whose last action is at least D days old")
    return parser


def main(argv=None):
    args = build_parser().parse_args(argv)
    try:
        return args.run(args)
    except (ValueError, CommandError, OSError) as e:
        print(f"velk-trust: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("velk-trust: interrupted", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())
