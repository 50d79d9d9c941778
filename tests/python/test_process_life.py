"""The store through a process's whole life: failing system calls, full disks, huge files, memory
and descriptor limits, fork at any moment and daemon threads at exit. Real processes, real files."""
import json
import os
import subprocess
import sys
import time

import pytest

from velk_trust import EntityTrust, TrustStore
from conftest import new_table, under_sanitizer, with_fault_library
from test_trust_store import record_file
from fault_matrix import CALLS
from sqlite_faults import CHANGES as SQLITE_CHANGES

HERE = os.path.dirname(os.path.abspath(__file__))


class TestFailingSystemCalls:
    @pytest.mark.parametrize("face", ["blocking", "loop"])
    @pytest.mark.parametrize("call", sorted(CALLS))
    def test_each_step_fails_cleanly(self, fault_library, tmp_path, call, face):
        env = with_fault_library(fault_library)
        proc = subprocess.run([sys.executable, os.path.join(HERE, "fault_matrix.py"), call, str(tmp_path), face],
                              env=env, capture_output=True, text=True, timeout=300)
        assert proc.returncode == 0, proc.stderr
        assert proc.stdout == "", proc.stdout

    @pytest.mark.parametrize("change", sorted(SQLITE_CHANGES))
    def test_each_step_of_a_change_to_an_sqlite_file_fails_cleanly(self, fault_library, tmp_path, change):
        """Each step of SQLite's own system calls broken, in a process that then dies: what the
        call said is what the file holds afterwards (a commit that failed may or may not be in it,
        and says so)."""
        proc = subprocess.run([sys.executable, os.path.join(HERE, "sqlite_faults.py"), change, str(tmp_path)],
                              env=with_fault_library(fault_library), capture_output=True, text=True, timeout=120)
        assert proc.returncode == 0, proc.stderr
        assert proc.stdout == "", proc.stdout
        assert " 0 runs" not in proc.stderr, proc.stderr


def run_script(code, *args, timeout=60, env=None):
    return subprocess.run([sys.executable, "-c", code, *map(str, args)], capture_output=True, text=True,
                          timeout=timeout, env=env)


BUSY_THREADS = """
import os, sys, threading, time, velk_trust
store = velk_trust.TrustStore(sys.argv[1])
for k in range(300):
    store.save(velk_trust.EntityTrust(f"mcp:listed-{k}"))
stop = threading.Event()
def busy(call):
    while not stop.is_set():
        call()
threads = [threading.Thread(target=busy, args=(call,)) for call in (
    lambda: store.update("mcp:busy", True, 0.5), lambda: store.witness("session:w", "mcp:busy", True, 0.5),
    lambda: store.delete("mcp:gone"), store.list_entities, lambda: store.get_by_type("mcp"))]
for t in threads:
    t.start()
time.sleep(0.05)
def stop_then_time_an_update():
    stop.set()
    for t in threads:
        t.join()
    start = time.monotonic()
    store.update("mcp:parent", True, 0.5)
    return time.monotonic() - start
"""


@pytest.mark.skipif(under_sanitizer(), reason="the address sanitizer's allocator (GCC 12) deadlocks a child forked "
                    "while another thread allocates")
class TestFork:
    def test_children_forked_during_calls_neither_keep_the_lock_nor_hang(self, records_dir):
        # Children forked while other threads are in every kind of call: each uses the store, then
        # lives on while the parent writes, which must not wait for it.
        proc = run_script(BUSY_THREADS + """
import warnings
warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads running: the point here
children = []
for _ in range(25):
    pid = os.fork()
    if pid == 0:
        store.update("mcp:child", True, 0.5)
        store.list_entities()
        time.sleep(2)
        os._exit(0)
    children.append(pid)
    time.sleep(0.004)
waited = stop_then_time_an_update()
statuses = [os.waitpid(pid, 0)[1] for pid in children]
print(waited < 1.0, statuses == [0] * 25, store.get("mcp:child").action_count)
""", records_dir)
        assert proc.stdout.split() == ["True", "True", "25"], proc.stderr

    def test_pool_started_during_calls(self, records_dir):
        proc = run_script(BUSY_THREADS + """
import multiprocessing
def work(k):
    return store.update("mcp:pool", True, 0.5).action_count
with multiprocessing.get_context("fork").Pool(2) as pool:
    waited = stop_then_time_an_update()
    counts = sorted(pool.map(work, range(20)))
print(waited < 1.0, counts == list(range(1, 21)))
""", records_dir)
        assert proc.stdout.split() == ["True", "True"], proc.stderr


EXIT_IN_A_CALL = """
import os, subprocess, sys, threading, time, velk_trust
store = velk_trust.TrustStore(sys.argv[1])
if sys.argv[2] == "lock wait":
    holder = subprocess.Popen([sys.executable, "-c",
        "import fcntl, os, sys; fd = os.open(sys.argv[1], os.O_RDONLY); fcntl.flock(fd, fcntl.LOCK_EX); "
        "print(flush=True); sys.stdin.read()", sys.argv[1]],  # held until this process is gone
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    holder.stdout.readline()
    calls = [lambda: store.update("a:b", True, 0.5), lambda: store.delete("a:b"), lambda: store.get("c:d")]
else:
    calls = [store.list_entities, lambda: store.get_by_type("mcp")]
for call in calls:
    def loop(call=call):
        while True:
            call()
    threading.Thread(target=loop, daemon=True).start()
time.sleep(0.3)
sys.exit(3)
"""


class TestExit:
    @pytest.mark.parametrize("where", ["lock wait", "listing"])
    def test_daemon_threads_in_calls_at_exit(self, records_dir, where):
        store = TrustStore(str(records_dir))
        if where == "listing":
            store.save(store.get("mcp:first"))
            for k in range(3000):
                os.link(next(records_dir.iterdir()), records_dir / f"copy-{k}.json")
        env = None
        if under_sanitizer():
            # The threads still in calls hold what OpenSSL keeps per thread until they are gone, and
            # the process may end first: the leak checker would count that, or hang stopping them.
            env = {**os.environ, "ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0"}
        for _ in range(4):
            proc = run_script(EXIT_IN_A_CALL, records_dir, where, env=env)
            assert proc.returncode == 3, proc.stderr
            assert "terminate" not in proc.stderr


SPARSE_SIZE = 1 << 40


class TestHugeFiles:
    def test_a_sparse_terabyte_is_refused_and_skipped(self, store, records_dir):
        store.get("mcp:ok")
        path = records_dir / (__import__("hashlib").sha256(b"mcp:huge").hexdigest()[:16] + ".json")
        for name in (path, records_dir / "x.json"):
            with open(name, "wb") as f:
                f.truncate(SPARSE_SIZE)
        expected = (f"Storage error: record file '{path}' is {SPARSE_SIZE} bytes, more than the 67108864 bytes "
                    "a record file may have")
        for call in (lambda: store.get("mcp:huge"), lambda: store.update("mcp:huge", True, 0.5),
                     lambda: store.witness("mcp:huge", "mcp:ok", True, 0.5)):
            with pytest.raises(ValueError) as e:
                call()
            assert str(e.value) == expected
        assert store.list_entities() == ["mcp:ok"]
        assert [e.entity_id for e in store.get_by_type("mcp")] == ["mcp:ok"]
        assert os.path.getsize(path) == SPARSE_SIZE


# Runs one call again and again while a resource limit is raised step by step from what the process
# holds now: each run either does its work or raises (MemoryError or ValueError), the records parse
# after every run, and with the limit lifted the same process works as before.
UNDER_A_LIMIT = """
import json, os, resource, sys, velk_trust
from velk_trust import EntityTrust
where = sys.argv[1]
database = where.startswith("db:")
store = velk_trust.TrustStore.connect(*where[3:].split("|")) if database else velk_trust.TrustStore(where)
limit, name = getattr(resource, sys.argv[2]), sys.argv[3]
big = EntityTrust("mcp:big")
for k in range(20000):
    big.receive_witness(f"session:{k:06d}", True, 0.1)
store.save(big)
for k in range(300):  # enough for a listing to start threads of its own
    store.save(EntityTrust(f"mcp:r{k}"))
calls = {
    "get": lambda: store.get("mcp:big"), "get-new": lambda: store.get("mcp:new"),
    "save": lambda: store.save(big), "update": lambda: store.update("mcp:big", True, 0.5),
    "witness": lambda: store.witness("session:x", "mcp:big", True, 0.5), "delete": lambda: store.delete("mcp:r1"),
    "exists": lambda: store.exists("mcp:big"), "list_entities": store.list_entities,
    "get_by_type": lambda: store.get_by_type("mcp"),
}
call = calls[name]
full = len(store.list_entities())
# Each listing once without a limit: the undefined-behaviour sanitizer checks an object's type on
# its first virtual call by writing its memory to a pipe of its own, which no descriptor is left for.
store.get_by_type("mcp")

def now_held():
    if limit == resource.RLIMIT_NOFILE:
        fd = os.open("/dev/null", os.O_RDONLY)  # the lowest free number: no more open below the limit
        os.close(fd)
        return fd
    with open("/proc/self/statm") as f:
        return int(f.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")

step = 1 if limit == resource.RLIMIT_NOFILE else 1 << 20
soft, hard = resource.getrlimit(limit)
held = now_held()
outcomes = set()
# The listings start threads of their own, whose stacks and memory the limit may deny at any step:
# every headroom from 0 to 48 MiB for them.
steps = 49 if limit == resource.RLIMIT_AS and name in ("list_entities", "get_by_type") else 24
for k in range(steps):
    resource.setrlimit(limit, (held + k * step, hard))
    try:
        result = call()
        error = None
    except BaseException as e:
        error = e
    resource.setrlimit(limit, (soft, hard))
    if error is None:
        if name == "list_entities" and len(result) != len(store.list_entities()):
            outcomes.add("a short listing")
        outcomes.add("done")
    elif isinstance(error, (MemoryError, ValueError)):
        outcomes.add("MemoryError" if isinstance(error, MemoryError) else "ValueError")
    else:
        outcomes.add(f"{type(error).__name__}:{str(error).replace(' ', '_')}")
    if database:
        if any(f["verdict"] != "record" for f in store.check()):
            outcomes.add("a broken row")
        continue
    for entry in os.listdir(where):
        if entry.endswith(".tmp"):
            outcomes.add("a temporary file left")
        else:
            with open(os.path.join(sys.argv[1], entry)) as f:
                json.load(f)
call()
print(" ".join(sorted(outcomes)))
"""


class TestResourceLimits:
    @pytest.mark.parametrize("kind", ["directory", "database", "sqlite"])
    @pytest.mark.parametrize("limit", ["RLIMIT_NOFILE", "RLIMIT_AS"])
    @pytest.mark.parametrize("call", ["get", "get-new", "save", "update", "witness", "delete", "exists",
                                      "list_entities", "get_by_type"])
    def test_calls_under_a_tight_limit(self, records_dir, limit, call, kind, request):
        if limit == "RLIMIT_AS" and under_sanitizer():
            pytest.skip("the address sanitizer reserves far more address space than any limit here")
        where = records_dir
        if kind == "database":
            where = f"db:{request.getfixturevalue('database_url')}|{new_table()}"
        elif kind == "sqlite":
            where = f"db:sqlite:{records_dir.parent / 'trust.db'}|{new_table()}"
        proc = run_script(UNDER_A_LIMIT, where, limit, call, timeout=120)
        assert proc.returncode == 0, proc.stderr
        outcomes = set(proc.stdout.split())
        assert outcomes <= {"done", "MemoryError", "ValueError"}, proc.stdout
        assert "done" in outcomes  # the limit was raised far enough for the call to work


# A process's first store call under an address-space limit: whatever it loads and sets up on first
# use (the database's shared object and libpq, OpenSSL, a thread's storage) either works or fails
# with MemoryError or ValueError, never an abort.
FIRST_CALL = """
import os, resource, sys, velk_trust
where, headroom = sys.argv[1], int(sys.argv[2])
with open("/proc/self/statm") as f:
    held = int(f.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (held + headroom * (1 << 20), hard))
try:
    store = velk_trust.TrustStore.connect(*where[3:].split("|")) if where.startswith("db:") else velk_trust.TrustStore(where)
    store.get("mcp:first")
    store.list_entities()
    print("done")
except MemoryError:
    print("MemoryError")
except ValueError as e:
    print("ValueError", e)
"""


class TestFirstCallUnderALimit:
    @pytest.mark.parametrize("kind", ["directory", "database", "sqlite"])
    def test_a_first_call_never_aborts(self, records_dir, kind, request):
        if under_sanitizer():
            pytest.skip("the address sanitizer reserves far more address space than any limit here")
        where = records_dir
        if kind == "database":
            where = f"db:{request.getfixturevalue('database_url')}|{new_table()}"
        elif kind == "sqlite":
            where = f"db:sqlite:{records_dir.parent / 'trust.db'}|{new_table()}"
        outcomes = {}
        for headroom in range(49):
            proc = run_script(FIRST_CALL, where, headroom, timeout=60)
            outcomes[headroom] = proc.stdout.strip() if proc.returncode == 0 else f"status {proc.returncode}: {proc.stderr[-300:]}"
        assert {o.split()[0] for o in outcomes.values()} <= {"done", "MemoryError", "ValueError"}, outcomes
        assert outcomes[48] == "done", outcomes


# The listings' helper threads at the edge of the address space: where a thread's stack can just be
# mapped and its first allocation not, every 4 KiB around the stack's size.
AT_THE_EDGE = """
import os, resource, sys, velk_trust
store = velk_trust.TrustStore(sys.argv[1])
for k in range(600):  # enough for a listing to start threads of its own
    store.save(velk_trust.EntityTrust(f"mcp:r{k}"))
call = store.list_entities if sys.argv[2] == "list_entities" else (lambda: store.get_by_type("mcp"))
stack = resource.getrlimit(resource.RLIMIT_STACK)[0]
stack = 8 << 20 if stack == resource.RLIM_INFINITY else stack
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
outcomes = set()
for headroom in range(stack - (512 << 10), stack + (1 << 20), 4 << 10):
    with open("/proc/self/statm") as f:
        held = int(f.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
    resource.setrlimit(resource.RLIMIT_AS, (held + headroom, hard))
    try:
        outcomes.add("done" if len(call()) == 600 else "a short listing")
    except MemoryError:
        outcomes.add("MemoryError")
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
print(" ".join(sorted(outcomes)))
"""


class TestListingsAtTheEdge:
    @pytest.mark.parametrize("call", ["list_entities", "get_by_type"])
    def test_helper_threads_short_of_memory_never_abort(self, records_dir, call):
        if under_sanitizer():
            pytest.skip("the address sanitizer reserves far more address space than any limit here")
        proc = run_script(AT_THE_EDGE, records_dir, call, timeout=300)
        assert proc.returncode == 0, (proc.returncode, proc.stderr[-500:])
        assert set(proc.stdout.split()) <= {"done", "MemoryError"} and "done" in proc.stdout, proc.stdout


SAVE_AND_UPDATE = """
import sys, velk_trust
store = velk_trust.TrustStore(sys.argv[1])
record = store.get("session:big")
print("ready", flush=True)
for k in range(int(sys.argv[2])):
    store.save(record)
    store.update("mcp:counted", True, 0.5)
"""


def without_unnamed_files(fault_library):
    return with_fault_library(fault_library, FAULTS_NO_TMPFILE="1")


class TestWithoutUnnamedFiles:
    """Where the file system refuses O_TMPFILE, the temporary file is named from the start."""

    def test_killed_writers_leave_no_pile(self, fault_library, records_dir):
        big = EntityTrust("session:big")
        for k in range(20000):
            big.receive_witness(f"mcp:witness-{k}", True, 0.01)
        TrustStore(str(records_dir)).save(big)
        env = without_unnamed_files(fault_library)
        for k in range(12):
            child = subprocess.Popen([sys.executable, "-c", SAVE_AND_UPDATE, str(records_dir), "100000"],
                                     stdout=subprocess.PIPE, text=True, env=env)
            assert child.stdout.readline().strip() == "ready"
            time.sleep(0.05 + 0.013 * k)
            child.kill()
            child.wait()
            child.stdout.close()
        # At most one "<record>.tmp" per record, which the record's next save replaces.
        proc = subprocess.run([sys.executable, "-c", SAVE_AND_UPDATE, str(records_dir), "1"], env=env,
                              capture_output=True, text=True)
        assert proc.returncode == 0, proc.stderr
        assert sorted(p.name for p in records_dir.iterdir()) == sorted(
            record_file(records_dir, i).name for i in ("session:big", "mcp:counted"))
        assert json.loads(record_file(records_dir, "session:big").read_text())["witness_count"] == 20000

    def test_concurrent_writers_count_every_update(self, fault_library, records_dir):
        TrustStore(str(records_dir)).save(EntityTrust("session:big"))
        env = without_unnamed_files(fault_library)
        writers = [subprocess.Popen([sys.executable, "-c", SAVE_AND_UPDATE, str(records_dir), "300"],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, env=env)
                   for _ in range(2)]
        assert [w.wait(timeout=120) for w in writers] == [0, 0], [w.stderr.read() for w in writers]
        assert TrustStore(str(records_dir)).get("mcp:counted").action_count == 600
        assert len(list(records_dir.iterdir())) == 2

    @pytest.mark.parametrize("unnamed", [True, False])
    def test_a_leftover_that_cannot_be_cleared_blocks_nothing(self, fault_library, records_dir, unnamed):
        store = TrustStore(str(records_dir))
        store.update("mcp:a", True, 0.5)
        # A directory where the temporary file's name would be: it cannot be removed.
        (records_dir / (record_file(records_dir, "mcp:a").name + ".tmp")).mkdir()
        proc = run_script(
            "import sys, velk_trust; s = velk_trust.TrustStore(sys.argv[1]); s.save(s.get('mcp:a'));"
            "print(s.update('mcp:a', True, 0.5).action_count, s.witness('mcp:a', 'mcp:a', True, 0.5)[0].action_count)",
            records_dir) if unnamed else subprocess.run(
            [sys.executable, "-c", "import sys, velk_trust; s = velk_trust.TrustStore(sys.argv[1]); "
             "s.save(s.get('mcp:a')); print(s.update('mcp:a', True, 0.5).action_count, "
             "s.witness('mcp:a', 'mcp:a', True, 0.5)[0].action_count)", str(records_dir)],
            capture_output=True, text=True, env=without_unnamed_files(fault_library))
        assert proc.stdout.split() == ["2", "2"], proc.stderr
        assert sorted(p.name for p in records_dir.iterdir() if not p.is_dir()) == [record_file(records_dir, "mcp:a").name]


@pytest.fixture
def small_tmpfs(tmp_path):
    mount_point = tmp_path / "small"
    mount_point.mkdir()
    proc = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k", "tmpfs", str(mount_point)], capture_output=True,
                          text=True)
    if proc.returncode != 0:
        pytest.skip(f"a tmpfs cannot be mounted here: {proc.stderr.strip()}")
    try:
        yield mount_point
    finally:
        subprocess.run(["umount", str(mount_point)], check=True)


def record_bytes(directory):
    return {p.name: p.read_bytes() for p in directory.iterdir()}


class TestFullDisk:
    def test_writes_on_a_full_disk_change_nothing(self, small_tmpfs):
        records = small_tmpfs / "records"
        store = TrustStore(str(records))
        store.update("mcp:a", True, 0.5)
        store.update("session:b", True, 0.5)
        changed = store.get("mcp:a")
        changed.talent = 0.9
        fillers = []
        while True:
            try:
                (small_tmpfs / f"filler-{len(fillers)}").write_bytes(b"x" * 4096)
            except OSError:
                break
            fillers.append(small_tmpfs / f"filler-{len(fillers)}")
        before = record_bytes(records)
        full = "IO error: No space left on device (os error 28)"
        for call in (lambda: store.save(changed), lambda: store.update("mcp:a", True, 0.5),
                     lambda: store.witness("session:b", "mcp:a", True, 0.5), lambda: store.get("mcp:new"),
                     lambda: store.witness("session:new", "mcp:a", True, 0.5)):
            with pytest.raises(ValueError) as e:
                call()
            assert str(e.value) == full
            assert record_bytes(records) == before
        # Room for one file: the witness's target could be written, the witness not, so neither is.
        fillers.pop().unlink()
        with pytest.raises(ValueError) as e:
            store.witness("session:b", "mcp:a", True, 0.5)
        assert str(e.value) == full
        assert record_bytes(records) == before
        for filler in fillers:
            filler.unlink()
        witness, target = store.witness("session:b", "mcp:a", True, 0.5)
        assert (witness.has_witnessed, target.witness_count, target.action_count) == (["mcp:a"], 1, 1)
        assert sorted(p.name for p in records.iterdir()) == sorted(before)
