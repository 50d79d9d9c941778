"""The store in one SQLite file, with real processes and threads: exact counts, witness pairs never
split (not by kill -9), fork, Ctrl-C and a timeout in a wait for another writer, and files that are
not a store of ours, are damaged, cannot be written or fill their file system. The operations
themselves are the shared store tests' (conftest's BACKENDS)."""
import contextlib
import gc
import os
import random
import signal
import sqlite3
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from velk_trust import EntityTrust, StorageError, TrustError, TrustStore
from conftest import default_sigint, new_table, sqlite_write_lock


def url_of(path, *params):
    return f"sqlite:{path}" + ("?" + "&".join(params) if params else "")


def child(code, *args, **kwargs):
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(code), *map(str, args)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, preexec_fn=default_sigint, **kwargs)


class TestManyWriters:
    UPDATES = """
        import sys, velk_trust
        store = velk_trust.TrustStore.connect(sys.argv[1], table=sys.argv[2])
        for _ in range(250):
            store.update("mcp:shared", True, 0.5)
        """

    def test_four_processes_update_one_record(self, tmp_path):
        url, table = url_of(tmp_path / "trust.db", "synchronous=normal"), new_table()
        TrustStore.connect(url, table=table).get("mcp:shared")
        procs = [child(self.UPDATES, url, table) for _ in range(4)]
        for p in procs:
            out, err = p.communicate(timeout=300)
            assert p.returncode == 0, err
        e = TrustStore.connect(url, table=table).get("mcp:shared")
        assert (e.action_count, e.success_count) == (1000, 1000)

    CROSSED = """
        import sys, threading, velk_trust
        store = velk_trust.TrustStore.connect(sys.argv[1], table=sys.argv[2])
        def cross(a, b):
            for _ in range(60):
                store.witness(a, b, True, 0.5)
        threads = [threading.Thread(target=cross, args=p) for p in (("mcp:a", "mcp:b"), ("mcp:b", "mcp:a"))]
        for t in threads: t.start()
        for t in threads: t.join()
        """

    def test_crossed_witness_pairs_from_threads_and_processes(self, tmp_path):
        url, table = url_of(tmp_path / "trust.db"), new_table()
        TrustStore.connect(url, table=table)
        procs = [child(self.CROSSED, url, table) for _ in range(2)]
        for p in procs:
            out, err = p.communicate(timeout=300)
            assert p.returncode == 0, err
        store = TrustStore.connect(url, table=table)
        a, b = store.get("mcp:a"), store.get("mcp:b")
        # Each of 2 processes x 2 threads witnessed 60 times in one direction of the pair.
        assert (a.witness_count, b.witness_count) == (120, 120)
        assert a.witnessed_by == ["mcp:b"] and a.has_witnessed == ["mcp:b"]
        assert b.witnessed_by == ["mcp:a"] and b.has_witnessed == ["mcp:a"]


class TestKillStorm:
    WITNESSING = """
        import sys, velk_trust
        store = velk_trust.TrustStore.connect(sys.argv[1], table=sys.argv[2])
        k = int(sys.argv[3])
        print("ready", flush=True)
        while True:
            store.witness(f"session:w{k}", f"mcp:t{k}", True, 0.5)
            k += 1
        """

    def test_no_witness_pair_is_ever_split_by_kill_9(self, tmp_path):
        url, table = url_of(tmp_path / "trust.db"), new_table()
        TrustStore.connect(url, table=table)
        rng = random.Random(7)
        first = 0
        for _ in range(20):
            proc = child(self.WITNESSING, url, table, first)
            assert proc.stdout.readline().strip() == "ready", proc.stderr.read()
            time.sleep(rng.uniform(0.05, 0.3))
            proc.kill()
            proc.communicate(timeout=30)
            first += 100000
        store = TrustStore.connect(url, table=table)
        assert all(f["verdict"] == "record" for f in store.check())
        witnesses = {e.entity_id: e for e in store.get_by_type("session")}
        targets = {e.entity_id: e for e in store.get_by_type("mcp")}
        assert len(witnesses) > 20
        for wid, w in witnesses.items():
            tid = "mcp:t" + wid.removeprefix("session:w")
            assert w.has_witnessed == [tid] and targets[tid].witnessed_by == [wid], (wid, tid)
        assert len(witnesses) == len(targets)


class TestProcesses:
    FORKED = """
        import os, sys, velk_trust
        store = velk_trust.TrustStore.connect(sys.argv[1], table=sys.argv[2])
        store.update("mcp:x", True, 0.5)  # a connection of the parent's, kept in the store
        pid = os.fork()
        for _ in range(50):
            store.update("mcp:x", True, 0.5)
        if pid == 0:
            os._exit(0)
        _, status = os.waitpid(pid, 0)
        print(os.waitstatus_to_exitcode(status), store.get("mcp:x").action_count)
        """

    def test_fork(self, tmp_path):
        url, table = url_of(tmp_path / "trust.db"), new_table()
        out, err = child(self.FORKED, url, table).communicate(timeout=120)
        assert out.split() == ["0", "101"], err

    WAITING = """
        import signal, sys, time, velk_trust
        store = velk_trust.TrustStore.connect(sys.argv[1], table=sys.argv[2])
        print("waiting", flush=True)
        try:
            store.update("mcp:x", True, 0.5)
            print("returned", flush=True)
        except KeyboardInterrupt as e:
            print("interrupted", getattr(e, "__notes__", []), flush=True)
        """

    def test_ctrl_c_ends_a_wait_for_another_writer(self, tmp_path):
        url, table = url_of(tmp_path / "trust.db"), new_table()
        TrustStore.connect(url, table=table).get("mcp:x")
        holder = sqlite_write_lock(tmp_path / "trust.db")
        try:
            proc = child(self.WAITING, url, table)
            assert proc.stdout.readline().strip() == "waiting"
            time.sleep(0.5)
            sent = time.monotonic()
            proc.send_signal(signal.SIGINT)
            line = proc.stdout.readline()
            took = time.monotonic() - sent
            proc.communicate(timeout=30)
        finally:
            holder.kill()
            holder.wait()
        assert line.startswith("interrupted"), line
        assert "velk_trust: nothing was changed" in line
        assert took < 0.2 + 0.3  # the bound, and a loaded machine's scheduling
        assert TrustStore.connect(url, table=table).get("mcp:x").action_count == 0

    def test_a_timeout_bounds_the_wait_and_no_busy_timeout_fails_a_short_one(self, tmp_path):
        url, table = url_of(tmp_path / "trust.db"), new_table()
        store = TrustStore.connect(url, table=table, timeout=0.5)
        store.get("mcp:x")
        holder = sqlite_write_lock(tmp_path / "trust.db")
        try:
            started = time.monotonic()
            with pytest.raises(StorageError) as e:
                store.update("mcp:x", True, 0.5)
            took = time.monotonic() - started
        finally:
            holder.kill()
            holder.wait()
        assert str(e.value) == "Storage error: timed out after 0.5 s" and e.value.transient
        assert 0.5 <= took < 1.5
        # Without a timeout, a writer that holds the lock for 3 s is waited out.
        patient = TrustStore.connect(url, table=table)
        holder = sqlite_write_lock(tmp_path / "trust.db")
        threading.Timer(3.0, holder.kill).start()
        try:
            assert patient.update("mcp:x", True, 0.5).action_count == 1
        finally:
            holder.wait()


class TestFiles:
    def test_what_is_not_a_store_of_ours_is_refused_and_left_as_it_is(self, tmp_path):
        junk = tmp_path / "junk.db"
        junk.write_bytes(b"not a database at all " * 200)
        def run(path, sql):
            # Closed at once: the last connection to close puts the log's changes in the file.
            with contextlib.closing(sqlite3.connect(path)) as db:
                db.execute(sql)
                db.commit()
        theirs = tmp_path / "theirs.db"
        run(theirs, "CREATE TABLE notes (body TEXT)")
        later = tmp_path / "later.db"
        TrustStore.connect(url_of(later))
        run(later, "PRAGMA user_version = 7")
        shaped = tmp_path / "shaped.db"
        TrustStore.connect(url_of(shaped))
        run(shaped, 'CREATE TABLE "odd" (entity_id BLOB PRIMARY KEY, body TEXT)')
        cases = [
            (junk, "velk_trust", f"Storage error: '{junk}' is not a readable velk_trust database: file is not a database"),
            (theirs, "velk_trust", f"Storage error: '{theirs}' is not a velk_trust database (it holds another "
                                   "application's tables); it was left as it is"),
            (later, "velk_trust", f"Storage error: '{later}' holds records in layout 7; this release reads layout 1"),
            (shaped, "odd", 'Storage error: table "odd" is not a velk_trust record table: it has (entity_id BLOB, '
                            "body TEXT), a record table has (entity_id BLOB, entity_type BLOB, record TEXT)"),
        ]
        gc.collect()  # no store of the setup's keeps a connection open
        for path, table, text in cases:
            before = sorted(os.listdir(tmp_path)), path.read_bytes()
            with pytest.raises(StorageError) as e:
                TrustStore.connect(url_of(path), table=table)
            assert str(e.value) == text
            assert (sorted(os.listdir(tmp_path)), path.read_bytes()) == before, path

    def test_addresses(self, tmp_path):
        for url, text in [
            ("sqlite:", "Storage error: the database file's path is empty in 'sqlite:'"),
            (url_of(tmp_path / "t.db", "synchronous=off"),
             f"Storage error: synchronous='off' in '{url_of(tmp_path / 't.db', 'synchronous=off')}': a store takes "
             "synchronous=full or synchronous=normal"),
            (url_of(tmp_path / "t.db", "mode=ro"),
             f"Storage error: unknown parameter 'mode' in '{url_of(tmp_path / 't.db', 'mode=ro')}': a store takes "
             "synchronous=full or synchronous=normal"),
            (url_of(tmp_path / "missing" / "t.db"),
             f"Storage error: cannot make the database file '{tmp_path / 'missing' / 't.db'}': its directory does "
             "not exist"),
        ]:
            with pytest.raises(StorageError) as e:
                TrustStore.connect(url)
            assert str(e.value) == text
        with pytest.raises(StorageError) as e:
            TrustStore.open(url_of(tmp_path / "absent.db"), create=False)
        assert str(e.value) == f"Storage error: no database file at '{tmp_path / 'absent.db'}'"
        assert not (tmp_path / "absent.db").exists() and not (tmp_path / "t.db").exists()
        # A relative path is the working directory's, taken literally up to the '?'.
        os.chdir(tmp_path)
        store = TrustStore.connect("sqlite:rel ative.db?synchronous=normal")
        store.get("mcp:x")
        assert (tmp_path / "rel ative.db").exists()
        assert repr(store) == "TrustStore.connect('sqlite:rel ative.db?synchronous=normal', table='velk_trust')"

    def test_damaged_files_fail_clearly_and_the_process_stays_sound(self, tmp_path):
        path = tmp_path / "trust.db"
        store = TrustStore.connect(url_of(path))
        for k in range(300):
            store.save(EntityTrust(f"mcp:r{k}"))
        del store
        whole = path.read_bytes()
        half = whole[: len(whole) // 2]
        scribbled = bytearray(whole)
        for k in range(4096, len(scribbled), 997):
            scribbled[k] ^= 0x5A
        for damaged in (half, bytes(scribbled)):
            path.write_bytes(damaged)
            for ending in ("-wal", "-shm"):
                if os.path.exists(f"{path}{ending}"):
                    os.remove(f"{path}{ending}")
            try:
                s = TrustStore.connect(url_of(path))
                s.list_entities()
                for k in range(300):
                    s.get(f"mcp:r{k}")
            except (TrustError, ValueError) as e:
                assert str(e).startswith(("Storage error: ", "Serialization error: ")), e
        fresh = TrustStore.connect(url_of(tmp_path / "fresh.db"))
        assert fresh.update("mcp:x", True, 0.5).action_count == 1

    @pytest.fixture
    def mounted(self, tmp_path):
        """Mounts a small tmpfs (options per call) at a folder of its own; skipped where mounting is
        not allowed."""
        made = []

        def mount(options):
            where = tmp_path / f"mnt{len(made)}"
            where.mkdir()
            done = subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", str(where)], capture_output=True,
                                  text=True, timeout=30)
            if done.returncode != 0:
                pytest.skip(f"cannot mount a tmpfs here: {done.stderr.strip()}")
            made.append(where)
            return where
        yield mount
        for where in made:
            subprocess.run(["umount", "-l", str(where)], capture_output=True, timeout=30)

    def test_a_full_file_system(self, mounted):
        where = mounted("size=1m")
        store = TrustStore.connect(url_of(where / "trust.db"))
        store.update("mcp:x", True, 0.5)
        # Everything else the file system has goes to a file of another's.
        fd = os.open(where / "filler", os.O_WRONLY | os.O_CREAT)
        try:
            while os.write(fd, b"\0" * 4096) > 0:
                pass
        except OSError:
            pass
        finally:
            os.close(fd)
        failed = None
        for k in range(2000):
            try:
                store.update(f"mcp:n{k}", True, 0.5)
            except TrustError as e:
                failed = e
                break
        assert failed is not None and str(failed) in ("IO error: No space left on device (os error 28)",
                                                      "Storage error: database or disk is full"), failed
        # What was stored reads as before, and the store works again once there is room.
        assert store.get("mcp:x").action_count == 1
        os.remove(where / "filler")
        assert store.update("mcp:x", True, 0.5).action_count == 2
        assert store.get(f"mcp:n{k}").action_count == 0  # the failed update wrote nothing

    def test_a_read_only_file(self, mounted, tmp_path):
        source = tmp_path / "ro-source"
        source.mkdir()
        TrustStore.connect(url_of(source / "trust.db")).update("mcp:x", True, 0.5)
        where = mounted("size=4m")
        for name in os.listdir(source):
            (where / name).write_bytes((source / name).read_bytes())
        done = subprocess.run(["mount", "-o", "remount,ro", str(where)], capture_output=True, text=True, timeout=30)
        if done.returncode != 0:
            pytest.skip(f"cannot remount read-only here: {done.stderr.strip()}")
        before = {name: (where / name).read_bytes() for name in os.listdir(where)}
        try:
            store = TrustStore.connect(url_of(where / "trust.db"))
            assert store.get("mcp:x").action_count == 1
            with pytest.raises(TrustError) as e:
                store.update("mcp:x", True, 0.5)
            assert str(e.value).startswith(("Storage error: attempt to write a readonly database", "IO error: "))
        except TrustError as e:  # a log that cannot be opened read only: refused on opening
            assert str(e).startswith(("Storage error: ", "IO error: ")), e
        assert {name: (where / name).read_bytes() for name in os.listdir(where)} == before
