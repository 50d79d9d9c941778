"""AsyncTrustStore with real servers and processes: the same answers as TrustStore on every
backend, an event loop that is never held up, cancellation in every kind of wait, exact counts
under many tasks, fork and exit with calls pending, on asyncio's loop and on uvloop."""
import asyncio
import fcntl
import os
import pickle
import signal
import statistics
import subprocess
import sys
import textwrap
import time

import pytest

import velk_trust
from velk_trust import AsyncTrustStore, EntityTrust, TrustStore
from conftest import default_sigint, new_table, psql, sqlite_write_lock, under_sanitizer, without_sanitizer
from peers import Cluster

try:
    import uvloop
except ImportError:  # not for every interpreter
    uvloop = None

SLACK = 1.0 if under_sanitizer() else 0.2
LOOPS = ["asyncio", pytest.param("uvloop", marks=pytest.mark.skipif(uvloop is None, reason="uvloop does not install"))]


def run(coroutine, loop="asyncio"):
    if loop == "uvloop":
        return uvloop.run(coroutine)
    return asyncio.run(coroutine)


@pytest.fixture(params=["directory", "database", "sqlite"])
def places(request, tmp_path):
    """at(name): a place of its own for a store, how to open each face on it, and its name as
    messages show it."""
    if request.param == "directory":
        def at(name):
            where = str(tmp_path / name)

            async def opened():
                return AsyncTrustStore(where)
            return lambda: TrustStore(where), opened, where
        return request.param, at
    url = request.getfixturevalue("database_url") if request.param == "database" else f"sqlite:{tmp_path / 'trust.db'}"

    def at(name):
        table = new_table()
        return (lambda: TrustStore.connect(url, table=table), lambda: AsyncTrustStore.connect(url, table=table),
                table)
    return request.param, at


def plain(value, place):
    """A result as comparable data: records as their texts without the moments of the calls,
    the place's name as "<place>", listings in order."""
    if isinstance(value, EntityTrust):
        data = value.to_dict()
        return {k: v for k, v in data.items() if k not in ("created_at", "last_action")}
    if isinstance(value, str):
        return value.replace(place, "<place>")
    if isinstance(value, (list, tuple)):
        items = [plain(v, place) for v in value]
        return sorted(items, key=repr) if isinstance(value, list) else items
    if isinstance(value, dict):
        return {k: plain(v, place) for k, v in value.items()}
    return value


def outcome(call, place):
    """A call's result, or its error's class and text."""
    try:
        return plain(call(), place)
    except (ValueError, TypeError, RuntimeError) as e:
        return type(e).__name__, plain(str(e), place)


async def async_outcome(call, place):
    try:
        return plain(await call(), place)
    except (ValueError, TypeError, RuntimeError) as e:
        return type(e).__name__, plain(str(e), place)


SAVED = EntityTrust("mcp:saved")
SAVED.talent = 0.25

# Every method, errors included, in an order that builds on what came before.
CALLS = [
    ("get", lambda s: s.get("mcp:a")),
    ("update", lambda s: s.update("mcp:a", True, 0.5)),
    ("update again", lambda s: s.update("mcp:a", False, 0.25)),
    ("witness", lambda s: s.witness("session:w", "mcp:a", True, 0.5)),
    ("witness self", lambda s: s.witness("mcp:a", "mcp:a", True, 0.5)),
    ("find", lambda s: s.find("mcp:a")),
    ("find absent", lambda s: s.find("mcp:none")),
    ("save", lambda s: s.save(SAVED)),
    ("create there", lambda s: s.create(SAVED)),
    ("create", lambda s: s.create(EntityTrust("mcp:created"))),
    ("exists", lambda s: s.exists("mcp:saved")),
    ("list", lambda s: s.list_entities()),
    ("list of a kind", lambda s: s.list_entities("session")),
    ("count", lambda s: s.count("mcp")),
    ("by type", lambda s: s.get_by_type("session")),
    ("decay", lambda s: s.decay("mcp:a", 30, 0.05)),
    ("decay absent", lambda s: s.decay("mcp:none", 30, 0.05)),
    ("bad id", lambda s: s.get("no colon")),
    ("bad magnitude", lambda s: s.update("mcp:a", True, "much")),
    ("delete", lambda s: s.delete("mcp:created")),
    ("delete absent", lambda s: s.delete("mcp:created")),
    ("check", lambda s: s.check()),
]


class TestParity:
    @pytest.mark.parametrize("loop", LOOPS)
    def test_every_method_answers_as_the_blocking_store_does(self, places, loop):
        _, at = places
        open_blocking, _, blocking_place = at("blocking")
        _, open_async, loop_place = at("loop")
        blocking = open_blocking()
        expected = [(name, outcome(lambda: call(blocking), blocking_place)) for name, call in CALLS]

        async def on_loop():
            store = await open_async()
            seen = [(name, await async_outcome(lambda: call(store), loop_place)) for name, call in CALLS]
            await store.aclose()
            return seen
        assert run(on_loop(), loop) == expected

    def test_repr_pickle_and_directory(self, tmp_path, database_url):
        folder = str(tmp_path / "records")
        store = AsyncTrustStore(folder)
        assert repr(store) == f"AsyncTrustStore(path='{folder}')" and store.directory == folder
        assert repr(pickle.loads(pickle.dumps(store))) == repr(store)

        async def connected():
            db = await AsyncTrustStore.connect(database_url, table="async_repr", timeout=5, pool_size=3)
            await db.update("mcp:x", True, 1.0)
            return db
        db = run(connected())
        assert repr(db) == f"AsyncTrustStore.connect('{database_url}', table='async_repr', timeout=5, pool_size=3)"
        again = pickle.loads(pickle.dumps(db))
        assert repr(again) == repr(db) and db.directory is None

        async def read():
            return (await again.get("mcp:x")).action_count
        assert run(read()) >= 1

    def test_the_store_is_bound_to_one_open_loop(self, tmp_path):
        store = AsyncTrustStore(str(tmp_path / "records"))
        first = asyncio.new_event_loop()
        second = asyncio.new_event_loop()
        try:
            assert first.run_until_complete(store.get("mcp:x")).entity_id == "mcp:x"
            with pytest.raises(RuntimeError) as e:
                second.run_until_complete(store.get("mcp:x"))
            assert str(e.value) == ("this AsyncTrustStore is bound to the event loop that first used it, which is "
                                    "still open; make one store per event loop")
            first.close()
            assert second.run_until_complete(store.get("mcp:x")).entity_id == "mcp:x"  # the first is gone
        finally:
            first.close()
            second.close()

    def test_a_closed_store_says_so(self, tmp_path):
        async def main():
            async with AsyncTrustStore(str(tmp_path / "records")) as store:
                await store.get("mcp:x")
            with pytest.raises(RuntimeError) as e:
                await store.get("mcp:x")
            return str(e.value)
        assert run(main()) == "this AsyncTrustStore is closed"


class Ticker:
    """A task that wakes every 10 ms and keeps how late each wake-up was."""

    def __init__(self):
        self.late = []

    async def run(self, stop):
        loop = asyncio.get_running_loop()
        while not stop.is_set():
            due = loop.time() + 0.01
            await asyncio.sleep(0.01)
            self.late.append(loop.time() - due)

    def p99(self):
        return statistics.quantiles(self.late, n=100)[98] if len(self.late) > 10 else max(self.late)


def row_lock(database_url, table, entity_id):
    """A psql session holding entity_id's row lock until its standard input closes."""
    holder = subprocess.Popen(["psql", "-X", "-q", "-v", "ON_ERROR_STOP=1", database_url], stdin=subprocess.PIPE,
                              stdout=subprocess.DEVNULL, text=True, env=without_sanitizer())
    holder.stdin.write(f"BEGIN; SELECT 1 FROM \"{table}\" WHERE entity_id = '{entity_id}'::bytea FOR UPDATE;\n"
                       "SELECT pg_sleep(600);\n")
    holder.stdin.flush()
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        if psql(database_url, f"SELECT count(*) FROM pg_locks l JOIN pg_class c ON c.oid = l.relation "
                              f"WHERE c.relname = '{table}' AND l.mode = 'RowShareLock'") != ["0"]:
            break
        time.sleep(0.02)
    return holder


def directory_lock(folder):
    """Another process holding the record directory's lock until it is killed."""
    holder = subprocess.Popen([sys.executable, "-c", "import fcntl, os, sys; fd = os.open(sys.argv[1], os.O_RDONLY); "
                               "fcntl.flock(fd, fcntl.LOCK_EX); print(flush=True); sys.stdin.read()", folder],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    holder.stdout.readline()
    return holder


class TestTheLoopIsNeverHeldUp:
    """A ticker's wake-ups while other tasks wait for locks or list a large store: late by at
    most 20 ms at the 99th percentile here (bench/asyncio_store.py measures the 2 ms target)."""

    BOUND = 0.02 if not under_sanitizer() else 0.1

    def test_while_tasks_wait_for_a_row_lock(self, database_url):
        table = new_table()

        async def main():
            store = await AsyncTrustStore.connect(database_url, table=table)
            await store.get("mcp:locked")
            holder = row_lock(database_url, table, "mcp:locked")
            try:
                stop, ticker = asyncio.Event(), Ticker()
                ticking = asyncio.create_task(ticker.run(stop))
                waiting = [asyncio.create_task(store.update("mcp:locked", True, 0.5)) for _ in range(3)]
                await asyncio.sleep(1.0)
                stop.set()
                await ticking
                for task in waiting:
                    task.cancel()
                await asyncio.gather(*waiting, return_exceptions=True)
                return ticker.p99(), [t.cancelled() for t in waiting]
            finally:
                holder.kill()
                holder.wait()
        p99, cancelled = run(main())
        assert p99 < self.BOUND and cancelled == [True] * 3

    def test_while_tasks_wait_for_a_directory_lock_and_list_50000_records(self, tmp_path):
        folder = tmp_path / "records"
        blocking = TrustStore(str(folder))
        for k in range(50000):
            blocking.save(EntityTrust(f"mcp:r{k}"))

        async def main():
            store = AsyncTrustStore(str(folder))
            # Started before the ticker: starting it blocks this loop (a listing takes no lock).
            holder = directory_lock(str(folder))
            stop, ticker = asyncio.Event(), Ticker()
            ticking = asyncio.create_task(ticker.run(stop))
            try:
                listed = await store.list_entities()
                waiting = asyncio.create_task(store.update("mcp:r1", True, 0.5))
                await asyncio.sleep(0.5)
                stop.set()
                await ticking
                waiting.cancel()
                await asyncio.gather(waiting, return_exceptions=True)
            finally:
                holder.kill()
                holder.wait()
            return len(listed), ticker.p99(), waiting.cancelled()
        count, p99, cancelled = run(main())
        assert count == 50000 and p99 < self.BOUND and cancelled
        assert blocking.get("mcp:r1").action_count == 0

    @pytest.mark.parametrize("loop", LOOPS)
    def test_a_task_that_awaits_calls_that_end_at_once_still_lets_others_run(self, places, loop):
        """Calls that end without waiting (a free lock, a read) in a tight loop of one task: the
        other tasks get turns all along, not only when it stops."""
        _, at = places
        _, opened, _ = at("tight")

        async def main():
            store = await opened()
            await store.get("mcp:tight")
            ticks = 0

            async def ticker():
                nonlocal ticks
                while True:
                    await asyncio.sleep(0)
                    ticks += 1
            ticking = asyncio.create_task(ticker())
            await asyncio.sleep(0)
            seen, calls, end = [], 0, time.monotonic() + 0.3
            while time.monotonic() < end:
                await store.get("mcp:tight")
                await store.exists("mcp:tight")
                calls += 2
                seen.append(ticks)
            ticking.cancel()
            return seen, calls
        seen, calls = run(main(), loop)
        # Turns all through the 0.3 s (about one per millisecond of calls), not one at the end.
        assert seen[len(seen) // 2] >= 20 and seen[-1] - seen[len(seen) // 2] >= 20, (seen[::50], calls)


class TestCancellation:
    def stopped(self, make_call, after=0.3, loop="asyncio", how="cancel"):
        """Cancels the call after it has waited a while: the seconds until its task ended, and the
        notes of its CancelledError."""
        async def main():
            task = asyncio.create_task(make_call())
            await asyncio.sleep(after)
            started = time.monotonic()
            if how == "cancel":
                task.cancel()
                try:
                    await task
                except asyncio.CancelledError as e:
                    return time.monotonic() - started, getattr(e, "__notes__", [])
            raise AssertionError("not cancelled")
        return run(main(), loop)

    @pytest.mark.parametrize("loop", LOOPS)
    def test_a_row_lock_wait(self, database_url, loop):
        table = new_table()
        TrustStore.connect(database_url, table=table).get("mcp:locked")
        holder = row_lock(database_url, table, "mcp:locked")
        try:
            async def call():
                store = await AsyncTrustStore.connect(database_url, table=table)
                return await store.update("mcp:locked", True, 1.0)
            took, notes = self.stopped(call, after=0.5, loop=loop)

            async def bounded():
                store = await AsyncTrustStore.connect(database_url, table=table)
                started = time.monotonic()
                with pytest.raises(TimeoutError):
                    async with asyncio.timeout(0.3):
                        await store.update("mcp:locked", True, 1.0)
                return time.monotonic() - started
            timed = run(bounded(), loop)
        finally:
            holder.kill()
            holder.wait()
        assert took < 0.2 and notes == ["velk_trust: nothing was changed"]
        assert timed < 0.3 + 0.2
        assert TrustStore.connect(database_url, table=table).get("mcp:locked").action_count == 0

    def test_a_directory_lock_wait(self, tmp_path):
        folder = str(tmp_path / "records")
        TrustStore(folder).get("mcp:d")
        holder = directory_lock(folder)
        try:
            took, notes = self.stopped(lambda: AsyncTrustStore(folder).update("mcp:d", True, 1.0))
        finally:
            holder.kill()
            holder.wait()
        assert took < 0.2 and notes == ["velk_trust: nothing was changed"]
        time.sleep(0.2)  # the given-up wait took the lock once it was free, and let it go unused
        assert TrustStore(folder).get("mcp:d").action_count == 0
        assert TrustStore(folder).update("mcp:d", True, 1.0).action_count == 1

    def test_a_listing(self, tmp_path):
        folder = tmp_path / "records"
        blocking = TrustStore(str(folder))
        blocking.save(EntityTrust("mcp:x"))
        one = next(folder.iterdir())
        for k in range(30000):
            os.link(one, folder / f"copy-{k}.json")
        took, notes = self.stopped(lambda: AsyncTrustStore(str(folder)).get_by_type("mcp"), after=0.05)
        assert took < 0.2 and notes == ["velk_trust: nothing was changed"]

    def test_a_connect_to_a_peer_that_never_answers(self):
        import socket
        with socket.create_server(("127.0.0.1", 0)) as silent:
            port = silent.getsockname()[1]
            took, notes = self.stopped(
                lambda: AsyncTrustStore.connect(f"host=127.0.0.1 port={port} user=postgres connect_timeout=30"))
        assert took < 0.2 and notes == ["velk_trust: nothing was changed"]

    def test_a_commit_that_gets_no_answer(self):
        """A synchronous standby that is gone: the commit is sent and never answered. The task's
        cancellation waits the grace, then says the change may or may not have been made."""
        cluster = Cluster()
        try:
            table = new_table()
            TrustStore.connect(cluster.primary, table=table).get("mcp:x")
            cluster.set_synchronous("'nobody'")

            async def call():
                store = await AsyncTrustStore.connect(cluster.primary, table=table)
                return await store.update("mcp:x", True, 1.0)
            took, notes = self.stopped(call, after=0.5)
            cluster.set_synchronous("''")
        finally:
            cluster.close()
        assert 0.25 < took < 0.3 + 0.2
        assert notes == ["velk_trust: the change may or may not have been made (its commit's answer did not come)"]

    def test_ctrl_c_under_asyncio_run(self, database_url):
        table = new_table()
        TrustStore.connect(database_url, table=table).get("mcp:locked")
        code = textwrap.dedent("""
            import asyncio, sys, velk_trust
            async def main():
                store = await velk_trust.AsyncTrustStore.connect(sys.argv[1], table=sys.argv[2])
                print("calling", flush=True)
                await store.update("mcp:locked", True, 1.0)
            try:
                asyncio.run(main())
            except KeyboardInterrupt:
                print("interrupted", flush=True)
            """)
        holder = row_lock(database_url, table, "mcp:locked")
        try:
            child = subprocess.Popen([sys.executable, "-c", code, database_url, table], stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True, preexec_fn=default_sigint)
            assert child.stdout.readline() == "calling\n"
            time.sleep(0.5)
            sent = time.monotonic()
            child.send_signal(signal.SIGINT)
            line = child.stdout.readline()
            took = time.monotonic() - sent
            out, err = child.communicate(timeout=30)
        finally:
            holder.kill()
            holder.wait()
        assert line == "interrupted\n", err
        assert took < 0.2 + SLACK
        assert TrustStore.connect(database_url, table=table).get("mcp:locked").action_count == 0


class TestManyTasks:
    @pytest.mark.parametrize("loop", LOOPS)
    def test_100_tasks_count_exactly(self, places, loop):
        _, at = places
        open_blocking, open_async, _ = at("hot")

        async def main():
            store = await open_async()

            async def work(k):
                for _ in range(5):
                    await store.update(f"mcp:{k % 3}", True, 0.5)
                    await store.witness(f"session:{k % 2}", f"mcp:{(k + 1) % 3}", True, 0.1)
                    await store.witness(f"mcp:{(k + 1) % 3}", f"session:{k % 2}", False, 0.1)  # crossed
            await asyncio.gather(*(work(k) for k in range(100)))
            await store.aclose()
        run(main(), loop)
        blocking = open_blocking()
        records = {e: blocking.get(e) for e in ("mcp:0", "mcp:1", "mcp:2", "session:0", "session:1")}
        assert sum(records[f"mcp:{k}"].action_count for k in range(3)) == 500
        assert sum(r.witness_count for r in records.values()) == 1000


FORKED = """
import asyncio, os, sys, velk_trust
async def use(store):
    return (await store.update("mcp:forked", True, 0.5)).action_count
store = asyncio.run(velk_trust.AsyncTrustStore.connect(sys.argv[1], table=sys.argv[2])) if sys.argv[1] != "-" \\
    else velk_trust.AsyncTrustStore(sys.argv[2])
asyncio.run(use(store))
pid = os.fork()
if pid == 0:
    asyncio.run(use(store))
    os._exit(0)
asyncio.run(use(store))
_, status = os.waitpid(pid, 0)
print(os.waitstatus_to_exitcode(status), asyncio.run(use(store)))
"""

EXIT_PENDING = """
import asyncio, sys, velk_trust
async def main():
    store = (await velk_trust.AsyncTrustStore.connect(sys.argv[1], table=sys.argv[2])) if sys.argv[1] != "-" \\
        else velk_trust.AsyncTrustStore(sys.argv[2])
    for _ in range(5):
        asyncio.get_running_loop().create_task(store.update("mcp:locked", True, 1.0))
    await asyncio.sleep(0.3)
    sys.exit(3)  # the tasks still wait for the lock
asyncio.run(main())
"""


class TestProcessLife:
    @pytest.mark.parametrize("kind", ["directory", "database", "sqlite"])
    def test_fork(self, kind, tmp_path, request):
        args = {"directory": lambda: ("-", str(tmp_path / "records")),
                "database": lambda: (request.getfixturevalue("database_url"), new_table()),
                "sqlite": lambda: (f"sqlite:{tmp_path / 'trust.db'}", new_table())}[kind]()
        done = subprocess.run([sys.executable, "-c", FORKED, *args], capture_output=True, text=True, timeout=120)
        assert done.returncode == 0, done.stderr
        assert done.stdout.split() == ["0", "4"]

    @pytest.mark.parametrize("kind", ["directory", "database", "sqlite"])
    def test_exit_with_calls_waiting(self, kind, tmp_path, request):
        if kind == "directory":
            folder = str(tmp_path / "records")
            TrustStore(folder).get("mcp:locked")
            holder, args = directory_lock(folder), ("-", folder)
        elif kind == "sqlite":
            url, table = f"sqlite:{tmp_path / 'trust.db'}", new_table()
            TrustStore.connect(url, table=table).get("mcp:locked")
            holder, args = sqlite_write_lock(tmp_path / "trust.db"), (url, table)
        else:
            url, table = request.getfixturevalue("database_url"), new_table()
            TrustStore.connect(url, table=table).get("mcp:locked")
            holder, args = row_lock(url, table, "mcp:locked"), (url, table)
        try:
            started = time.monotonic()
            done = subprocess.run([sys.executable, "-c", EXIT_PENDING, *args], capture_output=True, text=True,
                                  timeout=60)
            took = time.monotonic() - started
        finally:
            holder.kill()
            holder.wait()
        assert done.returncode == 3, done.stderr
        assert "Traceback" not in done.stderr and "terminate" not in done.stderr
        assert took < 10
