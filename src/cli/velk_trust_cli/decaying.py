"""decay: every record at its own place, each under the store's lock; or, with --dry-run, what
that would change."""
import argparse
import math
import sys

import velk_trust

from velk_trust_cli.output import Progress, plural, print_json, summarize
from velk_trust_cli.status import Status
from velk_trust_cli.stores import findings_of, of_type, open_store


def number(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"{text!r} is not a finite number")
    return value


def rate(text):
    value = number(text)
    if 0 <= value <= 1:
        return value
    hint = f"; for {value:g} % a day, give {value / 100:g}" if 1 < value <= 100 else ""
    raise argparse.ArgumentTypeError(f"{text} is not a fraction per day between 0 and 1{hint}")


def days(text):
    value = number(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"{text} is negative: give the days of inactivity, 0 or more")
    return value


def would_change(record, args):
    """What store.decay would do to the record as read: True when a value would move."""
    if record.days_since_last_action() < args.min_idle:
        return False
    decayed = velk_trust.EntityTrust.from_json(record.to_json())
    decayed.apply_decay(args.days, args.rate)
    return decayed.to_dict() != record.to_dict()


def run_decay(args):
    store = open_store(args)
    findings = findings_of(store)
    chosen = [f for f in findings if f["verdict"] == "record" and of_type(f["record"], args.type)]
    misplaced = sum(1 for f in findings if f["verdict"] == "misplaced")
    if args.dry_run:
        changed = sum(would_change(f["record"], args) for f in chosen)
        report(args, len(chosen), changed, misplaced, dry=True)
        return Status.DONE
    decayed, current = set(), None
    progress = Progress("decay", len(chosen))
    try:
        for f in chosen:
            current = f
            if store.decay(f["entity_id"], args.days, args.rate, args.min_idle):
                decayed.add(f["entity_id"])
            current = None
            progress.step()
    except KeyboardInterrupt as e:
        # Ctrl-C may come at any point, even between a call's return and its count: the record in
        # flight is resolved on its own.
        progress.clear()
        unknown = False
        if current is not None and current["entity_id"] not in decayed:
            done, unknown = resolved(store, current, e)
            if done:
                decayed.add(current["entity_id"])
        print(f"velk-trust: interrupted: {len(decayed)} of {plural(len(chosen), 'record')} decayed"
              + (f", and {current['entity_id']!r} may or may not have been" if unknown else "")
              + "; the others are untouched", file=sys.stderr)
        return Status.INTERRUPTED
    progress.clear()
    summarize(f"{len(decayed)} of {plural(len(chosen), 'record')} decayed")
    report(args, len(chosen), len(decayed), misplaced, dry=False)
    return Status.DONE


def resolved(store, finding, interrupt):
    """Whether the record in flight when Ctrl-C came was decayed: (1 or 0, unknown). The module's
    note says whether its call had finished; an interrupt raised just after the call returned has
    none, and lost its result: the record itself tells then."""
    notes = " ".join(getattr(interrupt, "__notes__", []))
    if "nothing was changed" in notes:
        return 0, False
    if "may or may not" in notes:
        return 0, True
    try:
        now = store.find(finding["entity_id"])
    except (ValueError, KeyboardInterrupt):
        return 0, True
    return int(now is not None and now.to_json() != finding["record"].to_json()), False


def report(args, records, changed, misplaced, dry):
    if args.json:
        print_json({"records": records, "decayed": changed, "misplaced_skipped": misplaced, "dry_run": dry})
        return
    verb = "would be decayed (dry run: nothing changed)" if dry else "decayed"
    print(f"{changed} of {plural(records, 'record')} {verb}" +
          (f"; {plural(misplaced, 'misplaced copy', 'misplaced copies')} skipped (see check)" if misplaced else ""))
