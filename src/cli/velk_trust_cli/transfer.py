"""export, import and copy: records in and out as JSON Lines, and from one store to another."""
import os
import re
import sys
import tempfile

import velk_trust

from velk_trust_cli.output import Progress, plural, print_json, summarize
from velk_trust_cli.status import CommandError, Status
from velk_trust_cli.stores import findings_of, of_type, open_location, open_store, stored_text

# A JSON string (kept as written) or a run of white space outside strings (dropped).
TOKENS = re.compile(r'("(?:[^"\\]|\\.)*")|\s+')


def compact(text):
    """A record text on one line, every token as written: numbers and timestamps stay exact."""
    return TOKENS.sub(lambda m: m.group(1) or "", text)


def exported_records(store, kind=None):
    """(finding, stored text) of every readable record, in path order, and the findings that are not."""
    readable, unreadable = [], []
    for f in sorted(findings_of(store), key=lambda f: f["path"]):
        if f["verdict"] == "unreadable":
            unreadable.append(f)
        elif f["record"] is not None and of_type(f["record"], kind):
            try:
                readable.append((f, stored_text(f).decode("utf-8")))
            except (OSError, UnicodeDecodeError) as e:
                unreadable.append({**f, "detail": str(e)})
    return readable, unreadable


def write_lines(out, readable, progress):
    for k, (_, text) in enumerate(readable, 1):
        out.write(compact(text) + "\n")
        progress.step(k)


def run_export(args):
    readable, unreadable = exported_records(open_store(args), args.type)
    progress = Progress("export", len(readable))
    if args.output:
        # Written beside the target and renamed over it at the end: an export that fails or is
        # interrupted leaves the file that was there (or none), never a part that looks whole.
        target = os.path.abspath(args.output)
        fd, partial = tempfile.mkstemp(prefix=os.path.basename(target) + ".", suffix=".partial",
                                       dir=os.path.dirname(target))
        try:
            with os.fdopen(fd, "w", encoding="utf-8") as out:
                write_lines(out, readable, progress)
                out.flush()
                os.fsync(out.fileno())
            os.chmod(partial, 0o666 & ~current_umask())
            os.replace(partial, target)
        except BaseException:
            progress.clear()
            os.unlink(partial)
            raise
    else:
        try:
            write_lines(sys.stdout, readable, progress)
            sys.stdout.flush()
        except KeyboardInterrupt:
            progress.clear()
            raise CommandError("interrupted: the output is incomplete", Status.INTERRUPTED) from None
    progress.clear()
    summarize(f"{plural(len(readable), 'record')} exported")
    for f in unreadable:
        print(f"velk-trust: not exported: {f['path']}: {f['detail']}", file=sys.stderr)
    summary = {"exported": len(readable), "unreadable": [{"path": f["path"], "detail": f["detail"]} for f in unreadable]}
    if args.json:
        # The records are JSON Lines on standard output unless -o is given: the summary goes beside them.
        if args.output:
            print_json(summary)
        else:
            print_json(summary, sys.stderr)
    else:
        print(f"{plural(len(readable), 'record')} exported", file=sys.stderr)
    return Status.PROBLEMS if unreadable else Status.DONE


def current_umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


def run_import(args):
    source = sys.stdin if args.file == "-" else open(args.file, encoding="utf-8")
    with source:
        lines = source.read().splitlines()
    records, errors = [], []
    for number, line in enumerate(lines, 1):
        if line.strip():
            try:
                records.append(velk_trust.EntityTrust.from_json(line))
            except ValueError as e:
                errors.append(f"{args.file}: line {number}: {e}")
    if errors:  # every line is read before any is written
        for error in errors:
            print(f"velk-trust: {error}", file=sys.stderr)
        raise CommandError("nothing imported", Status.USAGE)
    store = open_store(args, must_exist=False)
    imported = 0
    progress = Progress("import", len(records))
    try:
        for record in records:
            if args.replace:
                store.save(record)
                imported += 1
            else:
                # Only where no record is, in one step: a record a writer made meanwhile is kept.
                imported += store.create(record)
            progress.step()
    except KeyboardInterrupt:
        progress.clear()
        raise CommandError(f"interrupted after {plural(imported, 'record')} imported; the others were not",
                           Status.INTERRUPTED) from None
    progress.clear()
    summarize(f"{plural(imported, 'record')} imported of {len(records)}")
    skipped = len(records) - imported
    if args.json:
        print_json({"records": len(records), "imported": imported, "skipped": skipped, "replace": args.replace})
    elif args.replace:
        print(f"{plural(imported, 'record')} imported, each replacing any record of its identifier")
    else:
        print(f"{plural(imported, 'record')} imported, {skipped} skipped as already there (--replace replaces them)")
    return Status.DONE


def run_copy(args):
    readable, unreadable = exported_records(open_location(args.source, args.table))
    target = open_location(args.target, args.table, must_exist=False)
    progress = Progress("copy", len(readable))
    for _, text in readable:
        target.save(velk_trust.EntityTrust.from_json(text))
        progress.step()
    progress.clear()
    summarize(f"{plural(len(readable), 'record')} copied")
    # The target must now hold each record as the source does: the same bytes where the source file
    # is in the writer's form, the same values and timestamps in any case.
    held = {f["entity_id"]: f for f in findings_of(target) if f["verdict"] == "record"}
    same_bytes = 0
    differing = []
    for f, text in readable:
        copied = held.get(f["record"].entity_id)
        copied_text = stored_text(copied).decode("utf-8") if copied else None
        if copied_text == text:
            same_bytes += 1
        elif copied_text is None or (velk_trust.EntityTrust.from_json(copied_text).__reduce__()[2] !=
                                     velk_trust.EntityTrust.from_json(text).__reduce__()[2]):
            differing.append(f["path"])
            print(f"velk-trust: {f['path']} differs from its copy", file=sys.stderr)
    for f in unreadable:
        print(f"velk-trust: not copied: {f['path']}: {f['detail']}", file=sys.stderr)
    rewritten = len(readable) - same_bytes - len(differing)
    if args.json:
        print_json({"copied": len(readable), "target": repr(target), "same_bytes": same_bytes, "rewritten": rewritten,
                    "differing": differing, "unreadable": [f["path"] for f in unreadable]})
    else:
        print(f"{plural(len(readable), 'record')} copied to {target!r}: {same_bytes} byte for byte, "
              f"{rewritten} rewritten in the writer's form, {len(differing)} differing")
    return Status.PROBLEMS if differing or unreadable else Status.DONE
