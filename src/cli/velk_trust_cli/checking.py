"""check: every entry of the store with its verdict."""
import json

from velk_trust_cli.status import Status
from velk_trust_cli.stores import PROBLEMS, findings_of, open_store


def run_check(args):
    findings = sorted(findings_of(open_store(args)), key=lambda f: f["path"])
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
    return Status.PROBLEMS if problems else Status.DONE
