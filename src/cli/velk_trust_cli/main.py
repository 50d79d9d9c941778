"""The command line: the parser of every subcommand, and main()."""
import argparse
import os
import sys
import textwrap

import velk_trust

import velk_trust_cli
from velk_trust_cli.checking import run_check
from velk_trust_cli.decaying import days, rate, run_decay
from velk_trust_cli.listing import SORTS, run_list, run_show
from velk_trust_cli.output import abandon_command, finish_command
from velk_trust_cli.repair import run_repair
from velk_trust_cli.report import run_report
from velk_trust_cli.status import EXIT_STATUSES, CommandError, Status
from velk_trust_cli.transfer import run_copy, run_export, run_import

STORE_HELP = ("the record directory, or a PostgreSQL connection text (a postgresql:// URI or libpq's key=value "
              "words); default: $VELK_TRUST_STORE, else the directory TrustStore() opens")
TYPE_HELP = ("only records whose stored entity_type is exactly KIND (agent, mcp, ...); a type no record has lists "
             "nothing (unlike the library's list_entities(KIND), which reads a kind it does not know as 'other')")


class Formatter(argparse.HelpFormatter):
    """Help wrapped to the terminal (argparse reads its width), but for indented lines (the
    examples and the exit statuses), which stay as written."""

    def __init__(self, prog):
        super().__init__(prog, max_help_position=30)

    def _fill_text(self, text, width, indent):
        out = []
        for block in text.split("\n\n"):
            lines = block.splitlines()
            if len(lines) > 1 and all(line.startswith(" ") or line.endswith(":") for line in lines):
                out.append("\n".join(indent + line for line in lines))
            else:
                out.append(textwrap.fill(" ".join(lines), width, initial_indent=indent, subsequent_indent=indent))
        return "\n\n".join(out)


def build_parser():
    common = argparse.ArgumentParser(add_help=False)
    # Given here or before the command; SUPPRESS keeps a value given before it.
    common.add_argument("--store", metavar="PATH|URL", default=argparse.SUPPRESS, help=STORE_HELP)
    common.add_argument("--table", metavar="NAME", default=argparse.SUPPRESS,
                        help="the table of a database store (default: velk_trust)")
    parser = argparse.ArgumentParser(prog="velk-trust", description=velk_trust_cli.__doc__.split("\n\n")[0],
                                     formatter_class=Formatter,
                                     epilog=f"example:\n  velk-trust --store ./records check\n\n{EXIT_STATUSES}")
    parser.add_argument("--version", action="version",
                        version=f"velk-trust {velk_trust.__version__} (velk_trust {velk_trust.__version__}, "
                                f"Python {sys.version.split()[0]})")
    parser.add_argument("--store", metavar="PATH|URL", default=None, help=STORE_HELP)
    parser.add_argument("--table", metavar="NAME", default=None,
                        help="the table of a database store (default: velk_trust)")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name, run, summary_text, example, json_help="print JSON for scripts instead of text"):
        sub = commands.add_parser(name, parents=[common], help=summary_text, description=summary_text,
                                  formatter_class=Formatter, epilog=f"example:\n  {example}\n\n{EXIT_STATUSES}")
        sub.set_defaults(run=run)
        sub.add_argument("--json", action="store_true", help=json_help)
        return sub

    sub = command("list", run_list, "One line per record: identifier, type, trust level, T3 and V3 averages, "
                  "actions, success rate, witnesses, last action. Writes nothing.",
                  "velk-trust list --type mcp --sort level")
    sub.add_argument("--type", metavar="KIND", help=TYPE_HELP)
    sub.add_argument("--sort", choices=list(SORTS), default="id", help="order of the lines (default: id)")
    sub = command("show", run_show, "One record in full, with its level, T3 and V3 averages, success rate and days "
                  "since its last action. Writes nothing (not even the neutral record get() would make).",
                  "velk-trust show mcp:filesystem")
    sub.add_argument("id", metavar="ID", help="the entity identifier, e.g. mcp:filesystem")
    sub.add_argument("--raw", action="store_true", help="print the stored text exactly")
    command("check", run_check, "Every entry of the store with its verdict, and the entities whose only records "
            "are misplaced copies. Writes nothing; exit status 1 when there are problems.", "velk-trust check --json")
    sub = command("decay", run_decay, "Let trust decay: each record's talent, training, temperament, valuation and "
                  "validity move toward neutral by RATE for each of DAYS days, as EntityTrust.apply_decay does; each "
                  "record under the store's lock, saved whole.",
                  "velk-trust decay --days 30 --rate 0.01 --min-idle 30 --dry-run")
    sub.add_argument("--days", type=days, required=True, metavar="DAYS",
                     help="days of inactivity to apply, 0 or more (e.g. 30)")
    sub.add_argument("--rate", type=rate, required=True, metavar="RATE",
                     help="the fraction lost per day, between 0 and 1 (e.g. 0.01 for 1 %% a day)")
    sub.add_argument("--type", metavar="KIND", help=TYPE_HELP)
    sub.add_argument("--min-idle", type=days, default=0.0, metavar="DAYS",
                     help="only records whose last action is at least DAYS days old (default: 0, every record)")
    sub.add_argument("--dry-run", action="store_true", help="report how many records would change; change nothing")
    sub = command("repair", run_repair, "Move misplaced records to their own paths, remove stale temporary files, "
                  "move unreadable files into a quarantine directory beside the store (never deleting a record); "
                  "exit status 1 when problems are left.", "velk-trust repair --dry-run")
    sub.add_argument("--dry-run", action="store_true", help="report what would be done, change nothing")
    sub.add_argument("--remove-identical", action="store_true",
                     help="remove misplaced copies that are byte for byte the record at their own path")
    sub = command("export", run_export, "Every readable record as one line of JSON (JSON Lines), values exact; "
                  "unreadable records named on stderr (exit status 1). With -o, the file is replaced only when the "
                  "export is whole.", "velk-trust export -o backup.jsonl",
                  json_help="print the summary as JSON (on stdout with -o, else on stderr)")
    sub.add_argument("--type", metavar="KIND", help=TYPE_HELP)
    sub.add_argument("-o", "--output", metavar="FILE", help="write to FILE instead of standard output")
    sub = command("import", run_import, "Records from JSON Lines, every line read before any is written. A record "
                  "is saved only where the store has none for its identifier (one that a writer makes meanwhile is "
                  "kept), unless --replace.", "velk-trust import backup.jsonl --replace")
    sub.add_argument("file", metavar="FILE", help="the JSON Lines file ('-' for standard input)")
    sub.add_argument("--replace", action="store_true",
                     help="replace the records that exist, whole (counters, witnesses and times as in the file)")
    sub = command("copy", run_copy, "Copy every readable record of one store into another (made if missing; records "
                  "there of the same identifiers are replaced), then check the copy.",
                  "velk-trust copy ./records /backup/records")
    sub.add_argument("source", metavar="SOURCE", help="the record directory or database to copy")
    sub.add_argument("target", metavar="TARGET",
                     help="the record directory (made if missing) or database to copy into")
    sub = command("report", run_report, "Counts by type and trust level, the least trusted and the most active "
                  "entities, a histogram of T3 averages and the problems check finds; with --html, also one "
                  "self-contained page with SVG charts.", "velk-trust report --html report.html")
    sub.add_argument("--html", metavar="FILE", help="also write the report as one self-contained HTML page")
    return parser


def main(argv=None):
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        status = args.run(args)
        sys.stdout.flush()
        if status == Status.INTERRUPTED:
            abandon_command()
        else:
            finish_command(args.command)
        return status
    except BrokenPipeError:
        # The reader went away (| head): nothing more to say, and nothing left to flush at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return Status.CLOSED_PIPE
    except CommandError as e:
        abandon_command()
        print(f"velk-trust: {e}", file=sys.stderr)
        return e.status
    except velk_trust.InvalidIdError as e:
        abandon_command()
        print(f"velk-trust: {e}", file=sys.stderr)
        return Status.USAGE
    except (ValueError, OSError) as e:
        abandon_command()
        print(f"velk-trust: {e}", file=sys.stderr)
        return Status.FAILED
    except KeyboardInterrupt:
        abandon_command()
        print("velk-trust: interrupted", file=sys.stderr)
        return Status.INTERRUPTED
