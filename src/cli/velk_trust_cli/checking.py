"""check: every entry of the store with its verdict, and what to do about the problems."""
from velk_trust_cli.output import plural, print_json, summarize
from velk_trust_cli.status import Status
from velk_trust_cli.stores import PROBLEMS, findings_of, missing_at_own_place, open_store


def check_summary(store, findings):
    problems = [f for f in findings if f["verdict"] in PROBLEMS]
    missing = missing_at_own_place(store, findings)
    return {
        "entries": len(findings),
        "records": sum(1 for f in findings if f["verdict"] == "record"),
        "problems": len(problems),
        "by_verdict": {v: sum(1 for f in findings if f["verdict"] == v) for v in ("record", *PROBLEMS, "unknown")},
        "missing_at_own_place": [{"entity_id": entity_id, "copies": paths} for entity_id, paths in missing.items()],
    }


def run_check(args):
    store = open_store(args)
    findings = sorted(findings_of(store), key=lambda f: f["path"])
    summary = check_summary(store, findings)
    summarize(f"{plural(len(findings), 'entry', 'entries')} checked, {plural(summary['problems'], 'problem')}")
    if args.json:
        print_json({"findings": [{k: f[k] for k in ("path", "verdict", "entity_id", "detail")} for f in findings],
                    "summary": summary})
    else:
        for f in findings:
            about = " ".join(x for x in (f["entity_id"] and repr(f["entity_id"]), f["detail"]) if x)
            print(f"{f['verdict']:<18}  {f['path']}" + (f"  {about}" if about else ""))
        for missing in summary["missing_at_own_place"]:
            print(f"{missing['entity_id']!r} has no record at its own place, only "
                  f"{plural(len(missing['copies']), 'misplaced copy', 'misplaced copies')} (above); its next update "
                  "starts from a neutral record unless `velk-trust repair` moves a copy home")
        print(f"{plural(len(findings), 'entry', 'entries')}: {summary['records']} records in place, "
              f"{plural(summary['problems'], 'problem')}")
    return Status.PROBLEMS if summary["problems"] else Status.DONE
