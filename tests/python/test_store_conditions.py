"""The store under real conditions: what else lies in the directory, waiting and signals, concurrent
writers and the crypto configuration. Each case runs real processes on real files."""
import fcntl
import json
import os
import signal
import subprocess
import sys
import threading
import time

import pytest

import velk_trust
from velk_trust import TrustStore
from conftest import run_python, under_sanitizer
from test_trust_store import record_file


def run_store(code, records_dir, timeout=20, **kwargs):
    """Runs code with `store` opened on records_dir in a fresh interpreter (a hang fails the test)."""
    return subprocess.run(
        [sys.executable, "-c", "import sys, velk_trust\nstore = velk_trust.TrustStore(sys.argv[1])\n" + code,
         str(records_dir)],
        capture_output=True, text=True, timeout=timeout, **kwargs)


def make_special(kind, path):
    if kind == "fifo":
        os.mkfifo(path)
    else:
        os.symlink(kind, path)


SPECIAL_FILES = [
    ("fifo", "a named pipe (FIFO)"),
    ("/dev/zero", "a character device"),
    ("/dev/urandom", "a character device"),
    ("/dev/stdin", "a named pipe (FIFO)"),  # the child's standard input is a pipe below
]


class TestDirectoryContents:
    @pytest.mark.parametrize("kind, what", SPECIAL_FILES)
    def test_special_file_at_a_record_path_is_refused(self, records_dir, kind, what):
        TrustStore(str(records_dir))
        make_special(kind, record_file(records_dir, "a:b"))
        proc = run_store(
            """
for call in (lambda: store.get("a:b"), lambda: store.update("a:b", True, 0.5),
             lambda: store.witness("a:b", "c:d", True, 0.5), lambda: store.witness("c:d", "a:b", True, 0.5)):
    try:
        call()
        print("returned")
    except ValueError as e:
        print(e)
print(store.exists("a:b"), store.exists("c:d"))
""", records_dir, input="stdin is not a record\n")
        message = f"IO error: the record file is {what}, not a regular file"
        assert proc.stdout.splitlines() == [message] * 4 + ["True False"], proc.stderr

    @pytest.mark.parametrize("kind", [kind for kind, _ in SPECIAL_FILES])
    def test_listings_skip_special_files(self, records_dir, kind):
        TrustStore(str(records_dir)).get("mcp:ok")
        make_special(kind, records_dir / "x.json")
        proc = run_store(
            'print(store.list_entities(), [e.entity_id for e in store.get_by_type("mcp")])',
            records_dir, input='{"entity_id": "mcp:from-stdin"}')
        assert proc.stdout.strip() == "['mcp:ok'] ['mcp:ok']", proc.stderr

    def test_misplaced_copy_is_never_written_over_its_owner(self, store, records_dir):
        owner = store.update("c:d", True, 0.5)
        owner_text = record_file(records_dir, "c:d").read_text()
        # A backup of c:d restored under a:b's name.
        record_file(records_dir, "a:b").write_text(owner_text)
        expected = (f"Storage error: record file '{record_file(records_dir, 'a:b')}' holds the record of 'c:d', "
                    "not of 'a:b'")
        for call in (lambda: store.update("a:b", True, 0.5), lambda: store.witness("a:b", "x:y", True, 0.5),
                     lambda: store.witness("x:y", "a:b", True, 0.5)):
            with pytest.raises(ValueError) as e:
                call()
            assert str(e.value) == expected
        assert record_file(records_dir, "c:d").read_text() == owner_text
        assert record_file(records_dir, "a:b").read_text() == owner_text
        assert not store.exists("x:y")  # nothing at all was written
        # Reading refuses it too: gating code asking for a:b must not be given c:d's numbers.
        with pytest.raises(ValueError) as e:
            store.get("a:b")
        assert str(e.value) == expected
        assert store.get("c:d").to_dict() == owner.to_dict()


TICKER = """
import threading, time
gaps = []
stop = threading.Event()
def tick():
    last = time.monotonic()
    while not stop.is_set():
        time.sleep(0.01)
        now = time.monotonic()
        gaps.append(now - last)
        last = now
ticker = threading.Thread(target=tick)
ticker.start()
time.sleep(0.05)
"""


def hold_directory_lock(records_dir):
    fd = os.open(records_dir, os.O_RDONLY | os.O_DIRECTORY)
    fcntl.flock(fd, fcntl.LOCK_EX)
    return fd


def linked_records(records_dir, count, witnesses=0):
    """count names for one record file (hard links cost no space): a listing reads it count times."""
    record = velk_trust.EntityTrust("mcp:linked")
    for k in range(witnesses):
        record.receive_witness(f"session:w{k}", True, 0.01)
    store = TrustStore(str(records_dir))
    store.save(record)
    source = record_file(records_dir, "mcp:linked")
    for k in range(count):
        os.link(source, records_dir / f"copy-{k}.json")


class TestWaitingAndSignals:
    def test_lock_wait_lets_other_threads_run(self, records_dir):
        TrustStore(str(records_dir))
        fd = hold_directory_lock(records_dir)
        threading.Timer(1.5, os.close, [fd]).start()
        proc = run_store(TICKER + """
start = time.monotonic()
record = store.update("a:b", True, 0.5)
waited = time.monotonic() - start
stop.set(); ticker.join()
print(record.action_count, round(waited, 1) >= 1.0, max(gaps) < 0.5)
""", records_dir)
        assert proc.stdout.split() == ["1", "True", "True"], proc.stderr

    def test_listing_lets_other_threads_run(self, records_dir):
        records_dir.mkdir()
        linked_records(records_dir, 300, witnesses=5000)
        # The 300 copies' own record is read (and parsed) once per copy with the interpreter lock
        # held, which the sanitizers slow far more than the listing's reads.
        share = 2 if under_sanitizer() else 4
        proc = run_store(TICKER + f"""
start = time.monotonic()
ids = store.list_entities()
records = store.get_by_type("mcp")
took = time.monotonic() - start
stop.set(); ticker.join()
print(len(ids), len(records), max(gaps) < max(0.25, took / {share}))
""", records_dir, timeout=60)
        assert proc.stdout.split() == ["301", "301", "True"], proc.stderr

    @pytest.mark.parametrize("call", ["update", "witness", "get"])
    def test_signal_ends_a_lock_wait(self, records_dir, call):
        TrustStore(str(records_dir))
        fd = hold_directory_lock(records_dir)
        try:
            child = subprocess.Popen(
                [sys.executable, "-c", f"""
import signal, sys, time, velk_trust
signal.signal(signal.SIGINT, signal.default_int_handler)  # as in a terminal, also when run as a background job
store = velk_trust.TrustStore(sys.argv[1])
print("waiting", flush=True)
try:
    store.{call}(*{{"update": ("a:b", True, 0.5), "witness": ("a:b", "c:d", True, 0.5), "get": ("a:b",)}}["{call}"])
    print("returned")
except KeyboardInterrupt:
    print("interrupted")
""", str(records_dir)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            assert child.stdout.readline().strip() == "waiting"
            time.sleep(0.3)
            sent = time.monotonic()
            child.send_signal(signal.SIGINT)
            out, err = child.communicate(timeout=10)
            latency = time.monotonic() - sent
        finally:
            os.close(fd)
        assert out.strip() == "interrupted", err
        assert latency < 1.0
        assert os.listdir(records_dir) == []  # nothing changed on disk

    def test_signal_ends_a_listing(self, records_dir):
        # Long to read, little to keep: a record padded with an unknown key that is read and dropped.
        records_dir.mkdir()
        padded = records_dir / "padded.json"
        padded.write_text('{"entity_id": "mcp:padded", "padding": [' + ", ".join(["0.125"] * 60000) + "]}")
        for k in range(600):
            os.link(padded, records_dir / f"copy-{k}.json")
        child = subprocess.Popen([sys.executable, "-c", """
import signal, sys, time, velk_trust
signal.signal(signal.SIGINT, signal.default_int_handler)  # as in a terminal, also when run as a background job
store = velk_trust.TrustStore(sys.argv[1])
start = time.monotonic()
store.list_entities()
print(time.monotonic() - start, flush=True)
try:
    while True:
        store.list_entities()
except KeyboardInterrupt:
    print("interrupted", flush=True)
""", str(records_dir)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        full_listing = float(child.stdout.readline())
        time.sleep(full_listing / 2)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=30)
        latency = time.monotonic() - sent
        assert out.strip() == "interrupted", err
        # Interrupted inside the listing, not after it.
        assert latency < max(0.2, full_listing / 5), (latency, full_listing)


DELETER = """
import sys, velk_trust
store = velk_trust.TrustStore(sys.argv[1])
print("ready", flush=True)
while True:
    store.delete("a:b")
"""

SAVER = """
import sys, velk_trust
store = velk_trust.TrustStore(sys.argv[1])
record = store.get("session:big")
print("ready", flush=True)
while True:
    record.update_from_outcome(True, 0.1)
    store.save(record)
"""


SAVE_LOOP = """
import sys, velk_trust
store = velk_trust.TrustStore(sys.argv[1])
record = store.get("a:b")
for _ in range(3000):
    store.save(record)
"""


UPDATER = """
import sys, velk_trust
store = velk_trust.TrustStore(sys.argv[1])
print("ready", flush=True)
print(*[store.update("a:b", True, 0.5).action_count for _ in range(3000)])
"""


class TestConcurrentWriters:
    def test_an_update_in_flight_never_undoes_a_delete(self, store, records_dir):
        # Every delete that removed the record is seen by the next update, which starts again at 1.
        child = subprocess.Popen([sys.executable, "-c", UPDATER, str(records_dir)], stdout=subprocess.PIPE, text=True)
        assert child.stdout.readline().strip() == "ready"
        removed = 0
        while child.poll() is None:
            removed += store.delete("a:b")
        counts = [int(c) for c in child.stdout.read().split()]
        child.stdout.close()
        restarts = sum(1 for before, after in zip(counts, counts[1:]) if after != before + 1)
        assert all(after in (before + 1, 1) for before, after in zip(counts, counts[1:]))
        assert removed > 10
        assert removed - 1 <= restarts <= removed

    def test_get_or_create_survives_a_concurrent_delete(self, store, records_dir):
        child = subprocess.Popen([sys.executable, "-c", DELETER, str(records_dir)], stdout=subprocess.PIPE, text=True)
        try:
            assert child.stdout.readline().strip() == "ready"
            for _ in range(5000):
                assert store.get("a:b").entity_id == "a:b"
        finally:
            child.kill()
            child.wait()
            child.stdout.close()

    def test_killed_saves_leave_no_temporary_files(self, records_dir):
        big = velk_trust.EntityTrust("session:big")
        for k in range(20000):
            big.receive_witness(f"mcp:witness-{k}", True, 0.01)
        TrustStore(str(records_dir)).save(big)
        for k in range(12):
            child = subprocess.Popen([sys.executable, "-c", SAVER, str(records_dir)], stdout=subprocess.PIPE,
                                     text=True)
            assert child.stdout.readline().strip() == "ready"
            time.sleep(0.05 + 0.013 * k)
            child.kill()
            child.wait()
            child.stdout.close()
        # A kill can only land in the instant between naming the finished file and renaming it;
        # what that leaves is replaced by the record's next save, so nothing piles up.
        store = TrustStore(str(records_dir))
        store.save(store.get("session:big"))
        assert [p.name for p in records_dir.iterdir()] == [record_file(records_dir, "session:big").name]
        assert json.loads(record_file(records_dir, "session:big").read_text())["witness_count"] == 20000

    def test_concurrent_saves_of_one_record_all_succeed(self, store, records_dir):
        record = store.get("a:b")
        child = subprocess.Popen([sys.executable, "-c", SAVE_LOOP, str(records_dir)])
        for _ in range(3000):
            store.save(record)
        assert child.wait(timeout=60) == 0
        assert [p.name for p in records_dir.iterdir()] == [record_file(records_dir, "a:b").name]


# A configuration whose default is FIPS algorithms only, with no FIPS provider installed.
FIPS_ONLY = """
openssl_conf = openssl_init
[openssl_init]
alg_section = evp_properties
[evp_properties]
default_properties = fips=yes
"""

MISSING_PROVIDER = """
openssl_conf = openssl_init
[openssl_init]
providers = provider_section
[provider_section]
nowhere = nowhere_section
[nowhere_section]
module = /nonexistent/provider.so
activate = 1
"""


class TestCryptoConfiguration:
    @pytest.mark.parametrize("config", [FIPS_ONLY, MISSING_PROVIDER], ids=["fips-only", "missing-provider"])
    def test_file_names_do_not_depend_on_openssl_conf(self, tmp_path, config):
        (tmp_path / "openssl.cnf").write_text(config)
        records = tmp_path / "records"
        proc = run_python(f"""
            import velk_trust
            store = velk_trust.TrustStore({str(records)!r})
            store.update("abc", True, 0.5)
            store.witness("abc", "abc", True, 0.5)
            print(store.exists("abc"), store.list_entities())
            """, env={**os.environ, "OPENSSL_CONF": str(tmp_path / "openssl.cnf")})
        assert proc.stdout.strip() == "True ['abc']", proc.stderr
        assert os.listdir(records) == ["ba7816bf8f01cfea.json"]
