"""repair: misplaced records to their own places, stale temporary files removed, unreadable files
into a quarantine directory beside the store; never a record deleted.

What this module knows of the record directory beyond check()'s findings (the lock the store's
writers take, how a save marks its temporary file, the writer's pid in a temporary's name) is held
to the module by test_operating.py's TestRepairFacts."""
import fcntl
import os
import shlex
import time

from velk_trust_cli.output import plural, print_json
from velk_trust_cli.status import Status
from velk_trust_cli.stores import PROBLEMS, findings_of, open_store, require_directory

# A temporary file no save holds may still be one of an older release's saves, which hold none:
# such a file is removed once it is this old, or when the process its name gives is gone.
STALE_SECONDS = 120


def temporary_in_use(path):
    """True while a save holds the lock it keeps on its temporary file."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOFOLLOW)
    except FileNotFoundError:
        return False
    try:
        fcntl.flock(fd, fcntl.LOCK_SH | fcntl.LOCK_NB)
        return False
    except BlockingIOError:
        return True
    finally:
        os.close(fd)


def writer_gone(path):
    """True when the name ends in .<pid>-<n>.tmp and no process <pid> exists."""
    pid = os.path.basename(path)[:-len(".tmp")].rsplit(".", 1)[-1].split("-")[0]
    if not pid.isdigit():
        return False
    try:
        os.kill(int(pid), 0)
    except ProcessLookupError:
        return True
    except PermissionError:
        return False
    return False


def quarantine_path(directory, name):
    """A free name for name in the quarantine directory beside the record directory."""
    quarantine = directory.rstrip("/") + ".quarantine"
    os.makedirs(quarantine, exist_ok=True)
    target, k = os.path.join(quarantine, name), 1
    while os.path.lexists(target):
        target, k = os.path.join(quarantine, f"{name}.{k}"), k + 1
    return target


def same_bytes(a, b):
    try:
        with open(a, "rb") as fa, open(b, "rb") as fb:
            return fa.read() == fb.read()
    except OSError:
        return False


def repair_one(finding, directory, args):
    """What repair does with one finding: (action, path, detail)."""
    path, verdict, dry_run = finding["path"], finding["verdict"], args.dry_run
    if verdict == "misplaced":
        own = finding["detail"]
        conflict = f"{finding['entity_id']!r}: {own} exists"
        if os.path.lexists(own):
            if not same_bytes(path, own):
                return "conflict", path, f"{conflict} and differs; both left as they are (compare them, keep one)"
            if not args.remove_identical:
                return "identical", path, f"{conflict}, byte for byte the same: this copy is safe to remove " \
                                          "(repair --remove-identical removes it)"
            if dry_run:
                return "would remove", path, f"a copy identical to {own}"
            os.unlink(path)
            return "removed", path, f"a copy identical to {own}"
        if dry_run:
            return "would move", path, own
        try:
            os.link(path, own)  # never over a file, even one that appeared meanwhile
        except FileExistsError:
            return "conflict", path, f"{conflict}; both left as they are"
        os.unlink(path)
        return "moved", path, own
    if verdict == "unreadable":
        if dry_run:
            return "would quarantine", path, finding["detail"]
        target = quarantine_path(directory, os.path.basename(path))
        os.rename(path, target)
        return "quarantined", path, (f"moved to {target}: the entity whose record it held starts from a neutral "
                                     f"record at its next update; to restore it, mend the file and move it back: "
                                     f"mv {shlex.quote(target)} {shlex.quote(path)}")
    if verdict == "temporary":
        try:
            age = time.time() - os.lstat(path).st_mtime
        except FileNotFoundError:
            return "gone", path, "removed meanwhile"
        if temporary_in_use(path):
            return "left", path, "a save is writing it"
        if not (age >= STALE_SECONDS or writer_gone(path)):
            return "left", path, f"younger than {STALE_SECONDS} s: perhaps a save of an older release"
        if dry_run:
            return "would remove", path, f"{age:.0f} s old"
        os.unlink(path)
        return "removed", path, f"{age:.0f} s old"
    return "left", path, finding["detail"] or verdict


def run_repair(args):
    store = open_store(args)
    if store.directory is None:
        # Rows have no leftovers to clear and no place to move a copy to; repair deletes no record.
        left = [f for f in findings_of(store) if f["verdict"] in PROBLEMS]
        if args.json:
            print_json({"actions": [{"action": "left", "path": f["path"], "detail": f["detail"]} for f in left],
                        "problems_left": len(left), "dry_run": args.dry_run})
        else:
            for f in sorted(left, key=lambda f: f["path"]):
                print(f"left              {f['path']}  {f['detail']}")
            print(f"{plural(len(left), 'problem')} left (a database store is repaired by hand)")
        return Status.PROBLEMS if left else Status.DONE
    directory = require_directory(store, "repair")
    fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
    try:
        # The lock update, witness and delete hold: no call of the module changes the directory
        # while the findings are acted on. check() itself takes no lock.
        fcntl.flock(fd, fcntl.LOCK_EX)
        findings = sorted(findings_of(store), key=lambda f: f["path"])
        actions = [repair_one(f, directory, args) for f in findings if f["verdict"] not in ("record",)]
    finally:
        os.close(fd)
    left = [f for f in findings_of(store) if f["verdict"] in PROBLEMS]
    if args.json:
        print_json({"actions": [dict(zip(("action", "path", "detail"), a)) for a in actions],
                    "problems_left": len(left), "dry_run": args.dry_run})
    else:
        for action, path, detail in actions:
            print(f"{action:<16}  {path}  {detail}")
        dry = " (dry run: nothing changed)" if args.dry_run else ""
        print(f"{plural(len(left), 'problem')} left{dry}")
    return Status.PROBLEMS if left else Status.DONE
