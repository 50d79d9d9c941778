import contextlib
import hashlib
import os
import signal
import sqlite3
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import textwrap
import uuid

import pytest

import velk_trust


@pytest.fixture(autouse=True)
def isolated_home(tmp_path, monkeypatch):
    """Never let a test reach the real home directory."""
    home = tmp_path / "home"
    home.mkdir()
    monkeypatch.setenv("HOME", str(home))
    monkeypatch.delenv("USERPROFILE", raising=False)
    return home


ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


# Every backend a store can have: a test of the store that does not look at record files runs on
# each of them.
BACKENDS = ["directory", "database", "sqlite"]


def pytest_generate_tests(metafunc):
    if "store" in metafunc.fixturenames:
        kinds = ["directory"] if "records_dir" in metafunc.fixturenames else BACKENDS
        metafunc.parametrize("store_kind", kinds)


@pytest.fixture(scope="session")
def database_url(tmp_path_factory):
    """A real PostgreSQL server's connection text: the test script's (VELK_TRUST_TEST_DATABASE), else
    one started for this session and stopped at its end."""
    given = os.environ.get("VELK_TRUST_TEST_DATABASE")
    if given:
        yield given
        return
    folder = tempfile.mkdtemp(prefix="velk-pg-")
    script = os.path.join(ROOT, "scripts", "postgres.sh")
    started = subprocess.run(["bash", script, "start", folder], capture_output=True, text=True,
                             env=without_sanitizer())
    assert started.returncode == 0, started.stderr
    try:
        yield started.stdout.strip()
    finally:
        subprocess.run(["bash", script, "stop", folder], env=without_sanitizer())


def new_table():
    return "t_" + uuid.uuid4().hex[:16]


@pytest.fixture
def table():
    return new_table()


@pytest.fixture
def store(tmp_path, store_kind, request):
    if store_kind == "database":
        return velk_trust.TrustStore.connect(request.getfixturevalue("database_url"), table=new_table())
    if store_kind == "sqlite":
        return velk_trust.TrustStore.connect(f"sqlite:{tmp_path / 'trust.db'}", table=new_table())
    return velk_trust.TrustStore(str(tmp_path / "records"))


class Medium:
    """What holds a store's records (files or rows), written straight, as a damaged or hand-edited
    store holds them."""

    def __init__(self, store, store_kind, database_url=None):
        self.store, self.kind, self.url = store, store_kind, database_url

    def put(self, entity_id, text):
        """text at entity_id's own place, as its bytes (a str is encoded as UTF-8)."""
        data = text.encode() if isinstance(text, str) else text
        if self.kind == "directory":
            name = hashlib.sha256(entity_id.encode()).hexdigest()[:16] + ".json"
            with open(os.path.join(self.store.directory, name), "wb") as f:
                f.write(data)
            return
        table = self.store.__reduce__()[1][1]
        if self.kind == "sqlite":
            value = text if isinstance(text, str) else data
            self.sqlite(f'INSERT INTO "{table}" (entity_id, entity_type, record) VALUES (?, ?, ?) '
                        "ON CONFLICT (entity_id) DO UPDATE SET record = excluded.record",
                        (entity_id.encode(), b"mcp", value))
            return
        with tempfile.NamedTemporaryFile("wb", suffix=".txt") as f:
            f.write(data)
            f.flush()
            os.chmod(f.name, 0o644)
            psql(self.url, f"\\set text `cat {f.name}`\n"
                           f"INSERT INTO \"{table}\" (key, entity_id, entity_type, record) "
                           f"VALUES ('{entity_id}'::bytea, '{entity_id}'::bytea, 'mcp'::bytea, :'text') "
                           "ON CONFLICT (key) DO UPDATE SET record = EXCLUDED.record", stdin=True)

    def put_oversize(self, entity_id, size=64 * 1024 * 1024 + 1):
        """A record of size bytes at entity_id's own place: more than any record may have."""
        if self.kind == "directory":
            with open(self.place(entity_id), "wb") as f:
                f.truncate(size)
            return
        table = self.store.__reduce__()[1][1]
        if self.kind == "sqlite":
            self.sqlite(f'INSERT INTO "{table}" (entity_id, entity_type, record) '
                        "VALUES (?, 'mcp', CAST(zeroblob(?) AS TEXT))", (entity_id.encode(), size))
            return
        psql(self.url, f"INSERT INTO \"{table}\" (key, entity_id, entity_type, record) VALUES "
                       f"('{entity_id}'::bytea, '{entity_id}'::bytea, 'mcp'::bytea, repeat('x', {size}))")

    def sqlite(self, sql, parameters=()):
        """Runs SQL on the store's SQLite file with the standard library's own client."""
        path = self.store.__reduce__()[1][0][len("sqlite:"):].split("?")[0]
        with contextlib.closing(sqlite3.connect(path, timeout=30)) as db:
            db.execute(sql, parameters)
            db.commit()

    def place(self, entity_id):
        """How messages name entity_id's place."""
        if self.kind == "directory":
            return os.path.join(self.store.directory, hashlib.sha256(entity_id.encode()).hexdigest()[:16] + ".json")
        return f"{self.store.__reduce__()[1][1]}/{entity_id}"


@pytest.fixture
def medium(store, store_kind, request):
    url = request.getfixturevalue("database_url") if store_kind == "database" else None
    return Medium(store, store_kind, url)


def sqlite_write_lock(path):
    """Another process holding a SQLite file's writer lock (BEGIN IMMEDIATE) until it is killed."""
    holder = subprocess.Popen([sys.executable, "-c", "import sqlite3, sys; db = sqlite3.connect(sys.argv[1], "
                               "isolation_level=None); db.execute('BEGIN IMMEDIATE'); print(flush=True); "
                               "sys.stdin.read()", str(path)], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    assert holder.stdout.readline() == "\n"
    return holder


def psql(url, sql, stdin=False):
    """Runs SQL with the server's own client (on its standard input: psql's meta-commands too);
    returns its output rows."""
    args = ["psql", "-X", "-q", "-A", "-t", "-v", "ON_ERROR_STOP=1", url] + ([] if stdin else ["-c", sql])
    proc = subprocess.run(args, input=sql if stdin else None, capture_output=True, text=True, timeout=60,
                          env=without_sanitizer())
    assert proc.returncode == 0, proc.stderr
    return proc.stdout.splitlines()


@pytest.fixture
def records_dir(tmp_path):
    return tmp_path / "records"


@pytest.fixture(scope="session")
def fault_library(tmp_path_factory):
    """The preloadable library that fails chosen system calls of the module (native/), built for this run."""
    return native_library(tmp_path_factory, "syscall_faults")


def native_library(tmp_path_factory, name):
    """A preloadable library of native/, built for this run."""
    out = tmp_path_factory.mktemp(name) / f"{name}.so"
    source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "native", f"{name}.c")
    subprocess.run([sysconfig.get_config_var("CC").split()[0] or "cc", "-shared", "-fPIC", "-O1", "-o", str(out),
                    source, "-ldl"], check=True, env=without_sanitizer())
    return out


@pytest.fixture(scope="session")
def round_trip_counter(tmp_path_factory):
    return native_library(tmp_path_factory, "count_round_trips")


def with_fault_library(fault_library, **values):
    """The environment of a child process that runs with the fault library preloaded. Under the
    sanitizer run it goes before the sanitizer's runtime, so that it sees the module's calls first."""
    env = {**os.environ, **values}
    preloaded = env.get("LD_PRELOAD", "")
    env["LD_PRELOAD"] = f"{fault_library} {preloaded}".strip()
    if "libasan" in preloaded:
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"
    return env


def default_sigint():
    """For a child that is sent SIGINT: a test run started in the background ignores it, and the
    child would inherit that (Python then installs no KeyboardInterrupt handler)."""
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def without_sanitizer():
    """The environment for a program that is not ours (a compiler, a browser): without the sanitizer
    run's preloaded runtime, which such a program does not expect."""
    return {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}


def under_sanitizer():
    return "libasan" in os.environ.get("LD_PRELOAD", "")


def run_python(code, env=None, cwd=None):
    """Runs code in a fresh interpreter; returns the completed process."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        env=env,
        cwd=cwd,
        capture_output=True,
        text=True,
        timeout=120,
    )


def clean_env(**values):
    env = {k: v for k, v in os.environ.items() if k not in ("HOME", "USERPROFILE")}
    env.update(values)
    return env
