"""The command line: the parser of every subcommand, and main()."""
import argparse
import sys

import velk_trust_cli
from velk_trust_cli.checking import run_check
from velk_trust_cli.decaying import run_decay
from velk_trust_cli.listing import SORTS, run_list, run_show
from velk_trust_cli.repair import run_repair
from velk_trust_cli.report import run_report
from velk_trust_cli.status import CommandError, Status
from velk_trust_cli.transfer import run_copy, run_export, run_import


def build_parser():
    def formatter(prog):
        return argparse.RawDescriptionHelpFormatter(prog, max_help_position=32)

    common = argparse.ArgumentParser(add_help=False)
    # Given here or before the command; SUPPRESS keeps a value given before it.
    common.add_argument("--store", metavar="PATH", default=argparse.SUPPRESS,
                        help="the record directory, or a PostgreSQL connection text "
                             "(default: $VELK_TRUST_STORE, else the directory TrustStore() opens)")
    common.add_argument("--table", metavar="NAME", default=argparse.SUPPRESS,
                        help="the table of a database store (default: velk_trust)")
    parser = argparse.ArgumentParser(prog="velk-trust", description=velk_trust_cli.__doc__.split("\n\n")[0],
                                     formatter_class=formatter, epilog="example:\n  velk-trust --store ./records check")
    parser.add_argument("--store", metavar="PATH", default=None,
                        help="the record directory, or a PostgreSQL connection text "
                             "(default: $VELK_TRUST_STORE, else the directory TrustStore() opens)")
    parser.add_argument("--table", metavar="NAME", default=None,
                        help="the table of a database store (default: velk_trust)")
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
    sub = command("repair", run_repair, "move misplaced records to their own paths, remove stale temporary files, "
                  "move unreadable files into a quarantine directory beside the store; exit status 1 when "
                  "problems are left", "velk-trust repair --dry-run")
    sub.add_argument("--dry-run", action="store_true", help="report what would be done, change nothing")
    sub = command("export", run_export, "every readable record as one line of JSON (JSON Lines), values exact; "
                  "unreadable records named on stderr (exit status 1)", "velk-trust export -o backup.jsonl")
    sub.add_argument("--type", metavar="KIND", help="only entities of this kind")
    sub.add_argument("-o", "--output", metavar="FILE", help="write to FILE instead of standard output")
    sub = command("import", run_import, "records from JSON Lines, every line checked before any is written; "
                  "existing identifiers skipped unless --replace", "velk-trust import backup.jsonl --replace")
    sub.add_argument("file", metavar="FILE", help="the JSON Lines file ('-' for standard input)")
    sub.add_argument("--replace", action="store_true", help="overwrite records that exist")
    sub = command("copy", run_copy, "copy every readable record of one store to another and check the copy",
                  "velk-trust copy ./records /backup/records")
    sub.add_argument("source", metavar="SOURCE", help="the record directory or database to copy")
    sub.add_argument("target", metavar="TARGET",
                     help="the record directory (made if missing) or database to copy into")
    sub = command("report", run_report, "counts by kind and trust level, the least trusted and the most active "
                  "entities, a histogram of T3 averages", "velk-trust report --html report.html")
    sub.add_argument("--html", metavar="FILE", help="also write one self-contained page with SVG charts")
    return parser


def main(argv=None):
    args = build_parser().parse_args(argv)
    try:
        return args.run(args)
    except (ValueError, CommandError, OSError) as e:
        print(f"velk-trust: {e}", file=sys.stderr)
        return Status.FAILED
    except KeyboardInterrupt:
        print("velk-trust: interrupted", file=sys.stderr)
        return Status.INTERRUPTED
