"""export, import and copy: records in and out as JSON Lines, and from one store to another."""
import re
import sys

import velk_trust

from velk_trust_cli.output import Progress
from velk_trust_cli.status import Status
from velk_trust_cli.stores import findings_of, kind_of, open_location, open_store, stored_text

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
        elif f["record"] is not None and (kind is None or kind_of(f["record"].entity_type) == kind_of(kind)):
            try:
                readable.append((f, stored_text(f).decode("utf-8")))
            except (OSError, UnicodeDecodeError) as e:
                unreadable.append({**f, "detail": str(e)})
    return readable, unreadable


def run_export(args):
    readable, unreadable = exported_records(open_store(args), args.type)
    out = open(args.output, "w", encoding="utf-8") if args.output else sys.stdout
    try:
        for _, text in readable:
            out.write(compact(text) + "\n")
    finally:
        if out is not sys.stdout:
            out.close()
    for f in unreadable:
        print(f"velk-trust: not exported: {f['path']}: {f['detail']}", file=sys.stderr)
    print(f"{len(readable)} records exported", file=sys.stderr)
    return Status.PROBLEMS if unreadable else Status.DONE


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
        print("velk-trust: nothing imported", file=sys.stderr)
        return Status.FAILED
    store = open_store(args, must_exist=False)
    imported = 0
    progress = Progress("import", len(records))
    for done, record in enumerate(records, 1):
        if args.replace or not store.exists(record.entity_id):
            store.save(record)
            imported += 1
        progress.step(done)
    progress.close()
    print(f"{imported} records imported, {len(records) - imported} skipped as already there"
          + ("" if args.replace else " (--replace overwrites them)"))
    return Status.DONE


def run_copy(args):
    readable, unreadable = exported_records(open_location(args.source, args.table))
    target = open_location(args.target, args.table, must_exist=False)
    progress = Progress("copy", len(readable))
    for done, (_, text) in enumerate(readable, 1):
        target.save(velk_trust.EntityTrust.from_json(text))
        progress.step(done)
    progress.close()
    # The target must now hold each record as the source does: the same bytes where the source file
    # is in the writer's form, the same values and timestamps in any case.
    held = {f["entity_id"]: f for f in findings_of(target) if f["verdict"] == "record"}
    same_bytes = differing = 0
    for f, text in readable:
        copied = held.get(f["record"].entity_id)
        copied_text = stored_text(copied).decode("utf-8") if copied else None
        if copied_text == text:
            same_bytes += 1
        elif copied_text is None or (velk_trust.EntityTrust.from_json(copied_text).__reduce__()[2] !=
                                     velk_trust.EntityTrust.from_json(text).__reduce__()[2]):
            differing += 1
            print(f"velk-trust: {f['path']} differs from its copy", file=sys.stderr)
    for f in unreadable:
        print(f"velk-trust: not copied: {f['path']}: {f['detail']}", file=sys.stderr)
    print(f"{len(readable)} records copied to {target!r}: {same_bytes} byte for byte, "
          f"{len(readable) - same_bytes - differing} rewritten in the writer's form, {differing} differing")
    return Status.PROBLEMS if differing or unreadable else Status.DONE
