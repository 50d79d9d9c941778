"""Real peers of the database store for the tests: Debian's pgbouncer, a TCP proxy of the tests' own
that stalls, cuts and swallows connections, a primary with a streaming standby, and a pair of
network namespaces joined by a veth pair. Every wait here is bounded."""
import os
import selectors
import shutil
import socket
import struct
import subprocess
import tempfile
import threading
import time

from conftest import ROOT, psql, without_sanitizer

SCRIPT = os.path.join(ROOT, "scripts", "postgres.sh")


def words(url):
    """A key=value connection text as a dict."""
    return dict(w.split("=", 1) for w in url.split())


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def as_server_user(args, **kwargs):
    """Runs a command as the server's user (root cannot run PostgreSQL or pgbouncer)."""
    if os.geteuid() == 0:
        args = ["runuser", "-u", "postgres", "--", *args]
    return subprocess.run(args, capture_output=True, text=True, timeout=120, env=without_sanitizer(), **kwargs)


def server_bin():
    versions = sorted(os.listdir("/usr/lib/postgresql"), key=lambda v: int(v))
    return f"/usr/lib/postgresql/{versions[-1]}/bin"


class Proxy:
    """127.0.0.1:<port> forwarded to (host, port). mode: "pass" forwards; "delay" forwards each
    piece of data `delay` seconds late (a slow link); "stall" keeps every connection and forwards
    nothing either way (new ones too: a peer that accepts and never answers); "cut" resets every
    connection (a network that forgot them) and then passes again."""

    def __init__(self, host, port, listen="127.0.0.1"):
        self.target = (host, port)
        self.listener = socket.create_server((listen, 0))
        self.listener.setblocking(False)
        self.host, self.port = listen, self.listener.getsockname()[1]
        self.mode = "pass"
        self.delay = 0.0
        self.late = []  # (due, socket, data), soonest first
        self.pairs = []
        self.lock = threading.Lock()
        self.selector = selectors.DefaultSelector()
        self.selector.register(self.listener, selectors.EVENT_READ)
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def set(self, mode, delay=0.0):
        with self.lock:
            self.delay = delay if mode == "delay" else 0.0
            if mode == "cut":
                for a, b in self.pairs:
                    for s in (a, b):
                        if s is not None:
                            s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                            self._forget(s)
                            s.close()
                self.pairs = []
                self.late = []
                mode = "pass"
            self.mode = "pass" if mode == "delay" else mode

    def _forget(self, s):
        try:
            self.selector.unregister(s)
        except (KeyError, ValueError):
            pass

    def _run(self):
        while not self.stop.is_set():
            wait = 0.05
            if self.late:
                wait = max(0.0, min(wait, self.late[0][0] - time.monotonic()))
            for key, _ in self.selector.select(timeout=wait):
                with self.lock:
                    if key.fileobj is self.listener:
                        self._accept()
                    elif self.mode == "pass":
                        self._forward(key.fileobj)
            with self.lock:
                while self.late and self.late[0][0] <= time.monotonic():
                    _, other, data = self.late.pop(0)
                    self._send(other, data)

    def _accept(self):
        try:
            client, _ = self.listener.accept()
        except BlockingIOError:
            return
        upstream = None
        if self.mode == "pass":
            upstream = socket.create_connection(self.target, timeout=5)
            upstream.setblocking(False)
            self.selector.register(upstream, selectors.EVENT_READ)
        client.setblocking(False)
        self.selector.register(client, selectors.EVENT_READ)
        self.pairs.append((client, upstream))

    def _forward(self, s):
        for a, b in self.pairs:
            if s is a or s is b:
                other = b if s is a else a
                break
        else:
            return
        try:
            data = s.recv(65536)
        except (BlockingIOError, InterruptedError):
            return
        except OSError:
            data = b""
        if other is None:
            return
        if not data:
            for x in (a, b):
                self._forget(x)
                x.close()
            self.pairs.remove((a, b))
            return
        if self.delay or self.late:
            # Behind what is already late, so that each direction keeps its order.
            self.late.append((time.monotonic() + self.delay, other, data))
        else:
            self._send(other, data)

    def _send(self, other, data):
        try:
            other.setblocking(True)
            other.sendall(data)
            other.setblocking(False)
        except OSError:
            pass

    def close(self):
        self.stop.set()
        self.thread.join(timeout=5)
        with self.lock:
            for a, b in self.pairs:
                for s in (a, b):
                    if s is not None:
                        s.close()
        self.listener.close()


class Bouncer:
    """Debian's pgbouncer in front of a server, in session or transaction mode."""

    def __init__(self, server_url, mode, pool_size=4):
        server = words(server_url)
        # Not a skip: the run that is meant to cover poolers must say that it did not.
        assert shutil.which("pgbouncer"), "pgbouncer is not installed (Debian's pgbouncer package)"
        self.dir = tempfile.mkdtemp(prefix="velk-bouncer-")
        self.port = free_port()
        with open(os.path.join(self.dir, "userlist.txt"), "w") as f:
            f.write('"postgres" ""\n')
        with open(os.path.join(self.dir, "pgbouncer.ini"), "w") as f:
            f.write(f"""[databases]
postgres = host={server['host']} port={server['port']} dbname=postgres user=postgres
[pgbouncer]
listen_addr = 127.0.0.1
listen_port = {self.port}
unix_socket_dir =
auth_type = trust
auth_file = {self.dir}/userlist.txt
pool_mode = {mode}
default_pool_size = {pool_size}
max_client_conn = 500
server_reset_query = DISCARD ALL
logfile = {self.dir}/pgbouncer.log
pidfile = {self.dir}/pgbouncer.pid
""")
        os.chmod(self.dir, 0o777)
        for name in os.listdir(self.dir):
            os.chmod(os.path.join(self.dir, name), 0o666)
        started = as_server_user(["pgbouncer", "-d", os.path.join(self.dir, "pgbouncer.ini")])
        assert started.returncode == 0, started.stderr
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                break
            except OSError:
                time.sleep(0.05)
        self.url = f"host=127.0.0.1 port={self.port} user=postgres dbname=postgres"

    def close(self):
        try:
            with open(os.path.join(self.dir, "pgbouncer.pid")) as f:
                pid = int(f.read())
            os.kill(pid, 15)
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline and os.path.exists(f"/proc/{pid}"):
                time.sleep(0.05)
        except (OSError, ValueError):
            pass
        shutil.rmtree(self.dir, ignore_errors=True)


class Cluster:
    """A primary of its own (scripts/postgres.sh) and, on request, a streaming standby made with
    pg_basebackup, synchronous when asked."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="velk-cluster-")
        os.chmod(self.dir, 0o755)  # the servers' user makes its directories in it
        started = subprocess.run(["bash", SCRIPT, "start", os.path.join(self.dir, "primary")], capture_output=True,
                                 text=True, timeout=120, env=without_sanitizer())
        assert started.returncode == 0, started.stderr
        self.primary = started.stdout.strip()
        self.standby = None

    def add_standby(self, synchronous=True):
        primary = words(self.primary)
        data = os.path.join(self.dir, "standby")
        os.makedirs(data)
        if os.geteuid() == 0:
            shutil.chown(data, "postgres")
        os.chmod(data, 0o700)
        made = as_server_user([f"{server_bin()}/pg_basebackup", "-D", os.path.join(data, "data"), "-h", primary["host"],
                               "-p", primary["port"], "-U", "postgres", "-R", "-X", "stream"])
        assert made.returncode == 0, made.stderr
        port = free_port()
        with open(os.path.join(data, "data", "postgresql.conf"), "a") as f:
            f.write(f"\nport = {port}\nunix_socket_directories = '{data}'\nhot_standby = on\n")
        ran = as_server_user([f"{server_bin()}/pg_ctl", "-D", os.path.join(data, "data"), "-l",
                              os.path.join(data, "server.log"), "-w", "-t", "60", "start"])
        assert ran.returncode == 0, ran.stderr
        self.standby = f"host={data} port={port} user=postgres dbname=postgres"
        if synchronous:
            self.set_synchronous("'*'")
        return self.standby

    def set_synchronous(self, names):
        psql(self.primary, f"ALTER SYSTEM SET synchronous_standby_names = {names}")
        psql(self.primary, "SELECT pg_reload_conf()")

    def control(self, which, action, mode="fast"):
        data = os.path.join(self.dir, which, "data")
        args = [f"{server_bin()}/pg_ctl", "-D", data, "-w", "-t", "60"]
        if action == "stop":
            args += ["-m", mode, "stop"]
        elif action == "start":
            args += ["-l", os.path.join(self.dir, which, "server.log"), "start"]
        else:
            args += [action]
        return as_server_user(args)

    def close(self):
        for which in ("standby", "primary"):
            if os.path.exists(os.path.join(self.dir, which, "data", "postmaster.pid")):
                self.control(which, "stop", "immediate")
        shutil.rmtree(self.dir, ignore_errors=True)


class Namespaces:
    """A network namespace for the clients, joined to this one by a veth pair: 10.77.<n>.1 here,
    10.77.<n>.2 there."""

    def __init__(self, n=1):
        self.name = f"velk-{os.getpid()}-{n}"
        self.here, self.there = f"10.77.{n}.1", f"10.77.{n}.2"
        self.veth = f"vk{os.getpid() % 10000}h{n}"
        steps = [["ip", "netns", "add", self.name],
                 ["ip", "link", "add", self.veth, "type", "veth", "peer", "name", self.veth + "p"],
                 ["ip", "link", "set", self.veth + "p", "netns", self.name],
                 ["ip", "addr", "add", f"{self.here}/24", "dev", self.veth],
                 ["ip", "link", "set", self.veth, "up"],
                 ["ip", "netns", "exec", self.name, "ip", "addr", "add", f"{self.there}/24", "dev", self.veth + "p"],
                 ["ip", "netns", "exec", self.name, "ip", "link", "set", self.veth + "p", "up"],
                 ["ip", "netns", "exec", self.name, "ip", "link", "set", "lo", "up"]]
        for step in steps:
            done = subprocess.run(step, capture_output=True, text=True, timeout=30)
            if done.returncode != 0:
                self.close()
                raise PermissionError(f"{' '.join(step)}: {done.stderr.strip()}")

    def drop_everything(self):
        """Every packet across the link is lost, both ways, without a word to either end: netem's
        loss where the kernel has it, else a token bucket too small for any packet."""
        for shaping in (["netem", "loss", "100%"], ["tbf", "rate", "8bit", "burst", "1", "latency", "1ms"]):
            done = [subprocess.run([*prefix, "tc", "qdisc", "replace", "dev", dev, "root", *shaping],
                                   capture_output=True, text=True, timeout=30)
                    for prefix, dev in (([], self.veth), (["ip", "netns", "exec", self.name], self.veth + "p"))]
            if all(d.returncode == 0 for d in done):
                return
        raise PermissionError("; ".join(d.stderr.strip() for d in done))

    def run(self, args, **kwargs):
        return subprocess.run(["ip", "netns", "exec", self.name, *args], **kwargs)

    def popen(self, args, **kwargs):
        return subprocess.Popen(["ip", "netns", "exec", self.name, *args], **kwargs)

    def close(self):
        subprocess.run(["ip", "link", "del", self.veth], capture_output=True, timeout=30)
        subprocess.run(["ip", "netns", "del", self.name], capture_output=True, timeout=30)
