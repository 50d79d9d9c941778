"""Runs under the preloaded fault library (native/syscall_faults.c): breaks each system call of one
change to an SQLite store in turn (failed before it is made, or made and then reported as failed
with EIO), in a child that then dies without closing anything, as a crashed process would. The
file as the next process finds it must hold the change when the call returned, nothing of it when
the call raised, and either when the call said that its change may or may not have been made.
Prints one line per violation; nothing when all hold."""
import ctypes
import errno
import json
import os
import shutil
import sqlite3
import sys

from velk_trust import EntityTrust, TrustStore

EIO_AFTER = -2  # the armed call is made, then reported as failed with EIO
ERRORS = {errno.EIO: "EIO", errno.ENOSPC: "ENOSPC", EIO_AFTER: "EIO after the fact"}

CHANGED = EntityTrust("mcp:a")
CHANGED.talent = 0.9

CHANGES = {
    "update": lambda s: s.update("mcp:a", True, 0.5),
    "update-new": lambda s: s.update("mcp:new", True, 0.5),
    "witness": lambda s: s.witness("session:b", "mcp:a", False, 0.7),
    "save": lambda s: s.save(CHANGED),
    "create": lambda s: s.create(EntityTrust("mcp:created")),
    "delete": lambda s: s.delete("mcp:a"),
    "decay": lambda s: s.decay("mcp:a", 30, 0.05),
}


def url(folder):
    return "sqlite:" + os.path.join(folder, "trust.db")


def build_base(folder):
    os.makedirs(folder)
    s = TrustStore.connect(url(folder))
    s.update("mcp:a", True, 0.5)
    s.update("session:b", True, 0.5)
    s.witness("session:b", "mcp:a", True, 0.5)
    del s
    with sqlite3.connect(os.path.join(folder, "trust.db")) as db:
        db.execute("PRAGMA wal_checkpoint(TRUNCATE)")


def rows(folder):
    """The table as the next process finds it (after the log's recovery), records without the
    moments of the calls."""
    db = sqlite3.connect(os.path.join(folder, "trust.db"))
    try:
        out = {}
        for key, text in db.execute("SELECT entity_id, record FROM velk_trust ORDER BY entity_id"):
            data = json.loads(text)
            data.pop("created_at", None)
            data.pop("last_action", None)
            out[bytes(key)] = data
        return out
    finally:
        db.close()


def in_child(work, call, step, err):
    """The call in a child that dies without closing the store; what it said, and how many calls
    the fault library counted."""
    reading, writing = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(reading)
        said = "other: the child failed before the call"
        seen = 0
        try:
            faults = ctypes.CDLL(None)
            faults.faults_arm.argtypes = [ctypes.c_long, ctypes.c_int]
            faults.faults_disarm.restype = ctypes.c_long
            store = TrustStore.connect(url(work))
            store.exists("mcp:a")  # the connection made and the file checked before the faults
            faults.faults_arm(step, err)
            try:
                call(store)
                said = "ok"
            except ValueError as e:
                said = "raised: " + str(e)
            except BaseException as e:  # anything else is a fault of the module
                said = f"other: {type(e).__name__}: {e}"
            seen = faults.faults_disarm()
        finally:
            os.write(writing, json.dumps([said, seen]).encode())
            os._exit(0)  # as a crash: nothing closed, the log left as it is
    os.close(writing)
    with os.fdopen(reading, "rb") as f:
        said, seen = json.loads(f.read())
    os.waitpid(pid, 0)
    return said, seen


def main(name, root):
    call = CHANGES[name]
    base, work = os.path.join(root, "base"), os.path.join(root, "work")
    build_base(base)

    def fresh():
        shutil.rmtree(work, ignore_errors=True)
        shutil.copytree(base, work)

    fresh()
    before = rows(work)
    said, _ = in_child(work, call, 0, 0)
    assert said == "ok", said
    expected = rows(work)
    assert expected != before
    broken = 0
    for err, err_name in ERRORS.items():
        step = 1
        while True:
            fresh()
            said, seen = in_child(work, call, step, err)
            after = rows(work)
            where = f"{name} {err_name} step {step}"
            if said.startswith("other: "):
                print(f"{where}: {said[7:]}")
            elif said == "ok" and after != expected:
                print(f"{where}: succeeded, but the file does not hold the change")
            elif said.startswith("raised: ") and "may or may not" in said:
                if after not in (before, expected):
                    print(f"{where}: raised {said[8:]!r} and left neither the old rows nor the new")
            elif said.startswith("raised: ") and after != before:
                print(f"{where}: raised {said[8:]!r}, yet the file holds {'the change' if after == expected else 'other rows'}")
            if seen < step:
                break
            broken += 1
            step += 1
    print(f"{name}: {broken} runs with one system call broken", file=sys.stderr)


if __name__ == "__main__":
    main(*sys.argv[1:])
