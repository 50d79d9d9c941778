"""Runs under the preloaded fault library (native/syscall_faults.c): breaks every system call of one
store call in turn, with each error, and checks that the call either did all its work (the same
result and records as an unbroken run) or raised ValueError with every record file as it was; then
makes each read in turn move fewer bytes than asked, which must change nothing at all; then makes
each call and reports it as failed, after which a call that raises has either changed nothing or
says that its change may or may not have been made. Prints one line per violation; nothing when
all hold. With "loop", the calls go through AsyncTrustStore, each awaited on an event loop."""
import asyncio
import ctypes
import errno
import hashlib
import json
import os
import shutil
import sys

from velk_trust import AsyncTrustStore, EntityTrust, TrustStore

ERRORS = [errno.EIO, errno.EACCES, errno.ENOSPC, errno.EMFILE, errno.EOPNOTSUPP]
SHORT_READ = -1  # not an error: the armed call, if a read, moves fewer bytes than asked
EIO_AFTER = -2  # the armed call is made, then reported as failed with EIO
NAMES = {**errno.errorcode, SHORT_READ: "a short read", EIO_AFTER: "EIO after the fact"}


def build_base(path):
    s = TrustStore(path)
    s.update("mcp:a", True, 0.5)
    s.update("mcp:a", False, 0.5)
    s.update("session:b", True, 0.5)
    s.witness("session:b", "mcp:a", True, 0.5)
    # A copy of mcp:c under another name: get_by_type creates mcp:c at its own path.
    s.save(EntityTrust("mcp:c"))
    own = hashlib.sha256(b"mcp:c").hexdigest()[:16] + ".json"
    os.rename(os.path.join(path, own), os.path.join(path, "copy-of-c.json"))
    with open(os.path.join(path, "broken.json"), "w") as f:
        f.write("{")


CHANGED = EntityTrust("mcp:a")
CHANGED.talent = 0.9

CALLS = {
    "get": lambda s: s.get("mcp:a"),
    "get-new": lambda s: s.get("mcp:new"),
    "find": lambda s: s.find("mcp:a"),
    "find-absent": lambda s: s.find("mcp:new"),
    "save": lambda s: s.save(CHANGED),
    "create": lambda s: s.create(EntityTrust("mcp:created")),
    "create-there": lambda s: s.create(CHANGED),
    "update": lambda s: s.update("mcp:a", True, 0.5),
    "update-new": lambda s: s.update("mcp:new", True, 0.5),
    "witness": lambda s: s.witness("session:b", "mcp:a", False, 0.7),
    "witness-new": lambda s: s.witness("session:new", "mcp:new", True, 0.5),
    "witness-self": lambda s: s.witness("mcp:a", "mcp:a", True, 0.5),
    "delete": lambda s: s.delete("mcp:a"),
    "delete-absent": lambda s: s.delete("mcp:none"),
    "exists": lambda s: s.exists("mcp:a"),
    "list_entities": lambda s: s.list_entities(),
    "count": lambda s: s.count("mcp"),
    "get_by_type": lambda s: s.get_by_type("mcp"),
    "decay": lambda s: s.decay("mcp:a", 30, 0.05),
    "decay-absent": lambda s: s.decay("mcp:none", 30, 0.05),
    "check": lambda s: [(f["path"], f["verdict"]) for f in s.check()],
}


def plain(value):
    """A result as comparable data: records without their timestamps, listings in order."""
    if isinstance(value, EntityTrust):
        return value.to_dict()
    if isinstance(value, (list, tuple)):
        return sorted((plain(v) for v in value), key=repr)
    return value


def record_bytes(path):
    out = {}
    for name in sorted(os.listdir(path)):
        if name.endswith(".json"):
            with open(os.path.join(path, name), "rb") as f:
                out[name] = f.read()
    return out


def record_data(path):
    """The record files' contents without timestamps (those of a broken file as bytes)."""
    out = {}
    for name, raw in record_bytes(path).items():
        try:
            data = json.loads(raw)
        except ValueError:
            out[name] = raw
            continue
        data.pop("created_at", None)
        data.pop("last_action", None)
        out[name] = data
    return out


class OnLoop:
    """AsyncTrustStore(path) with each call awaited to its end on one event loop: the same calls
    through the loop's face."""

    loop = None

    def __init__(self, path):
        if OnLoop.loop is None:
            OnLoop.loop = asyncio.new_event_loop()
        self.store = AsyncTrustStore(path)

    def __getattr__(self, name):
        method = getattr(self.store, name)

        async def awaited(*args):
            return await method(*args)
        return lambda *args: OnLoop.loop.run_until_complete(awaited(*args))


def main(name, root, face="blocking"):
    faults = ctypes.CDLL(None)
    faults.faults_arm.argtypes = [ctypes.c_long, ctypes.c_int]
    faults.faults_disarm.restype = ctypes.c_long
    call = CALLS[name]
    base, work = os.path.join(root, "base"), os.path.join(root, "work")
    build_base(base)

    def fresh():
        shutil.rmtree(work, ignore_errors=True)
        shutil.copytree(base, work)
        return OnLoop(work) if face == "loop" else TrustStore(work)

    expected = plain(call(fresh()))
    expected_records = record_data(work)
    broken = 0
    for err in ERRORS + [SHORT_READ, EIO_AFTER]:
        step = 1
        while True:
            store = fresh()
            before = record_bytes(work)
            faults.faults_arm(step, err)
            try:
                outcome = plain(call(store))
                raised = None
            except ValueError as e:
                raised = str(e)
            except BaseException as e:  # anything else is a fault of the module
                faults.faults_disarm()
                print(f"{name} {NAMES[err]} step {step}: {type(e).__name__}: {e}")
                step += 1
                continue
            seen = faults.faults_disarm()
            where = f"{name} {NAMES[err]} step {step}"
            if err == SHORT_READ and raised is not None:
                print(f"{where}: raised {raised!r}")
            elif raised is None:
                if outcome != expected:
                    print(f"{where}: returned {outcome!r}, not {expected!r}")
                if record_data(work) != expected_records:
                    print(f"{where}: succeeded, but the records differ from an unbroken run's")
            elif record_bytes(work) != before and not (err == EIO_AFTER and "may or may not" in raised):
                print(f"{where}: raised {raised!r} and changed the records")
            if seen < step:
                break
            broken += 1
            step += 1
    print(f"{name}: {broken} runs with one system call broken", file=sys.stderr)


if __name__ == "__main__":
    main(*sys.argv[1:])
