"""decay: every record at its own place, each under the store's lock."""
import json
import sys

from velk_trust_cli.output import Progress
from velk_trust_cli.status import Status
from velk_trust_cli.stores import findings_of, kind_of, open_store


def run_decay(args):
    store = open_store(args)
    findings = findings_of(store)
    chosen = [f["entity_id"] for f in findings if f["verdict"] == "record" and
              (args.type is None or kind_of(f["record"].entity_type) == kind_of(args.type))]
    misplaced = sum(1 for f in findings if f["verdict"] == "misplaced")
    changed = done = 0
    progress = Progress("decay", len(chosen))
    try:
        for entity_id in chosen:
            # Each record under the store's lock, saved whole: Ctrl-C leaves it decayed or untouched.
            changed += store.decay(entity_id, args.days, args.rate, args.min_idle)
            done += 1
            progress.step(done)
    except KeyboardInterrupt:
        progress.close()
        print(f"velk-trust: interrupted after {done} of {len(chosen)} records ({changed} decayed); "
              "the others are untouched", file=sys.stderr)
        return Status.INTERRUPTED
    progress.close()
    if args.json:
        print(json.dumps({"records": len(chosen), "decayed": changed, "misplaced_skipped": misplaced}))
    else:
        print(f"{changed} of {len(chosen)} records decayed" +
              (f"; {misplaced} misplaced copies skipped (see check)" if misplaced else ""))
    return Status.DONE
