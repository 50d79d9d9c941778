"""The velk-trust command in an operator's hands: what it refuses, what it leaves behind when it is
interrupted, what it shows on a terminal, and what scripts read of it. Run as a user runs it (a
process; its exit status, standard output and standard error apart; a pseudo-terminal where the
command looks for one)."""
import fcntl
import json
import os
import pty
import re
import select
import shutil
import signal
import struct
import subprocess
import sys
import termios
import time

import pytest

from velk_trust import EntityTrust, TrustStore
from conftest import default_sigint, new_table, psql, without_sanitizer
from test_operating import COMMAND, contents, velk_trust
from test_trust_store import record_file

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SUBCOMMANDS = ("list", "show", "check", "decay", "repair", "export", "import", "copy", "report")


@pytest.fixture(params=["directory", "database", "sqlite"])
def operated(request, tmp_path):
    """A store and the command's arguments that name it."""
    if request.param == "directory":
        where = tmp_path / "records"
        return TrustStore(str(where)), ["--store", str(where)]
    if request.param == "sqlite":
        url, table = f"sqlite:{tmp_path / 'trust.db'}", new_table()
        return TrustStore.connect(url, table=table), ["--store", url, "--table", table]
    url, table = request.getfixturevalue("database_url"), new_table()
    return TrustStore.connect(url, table=table), ["--store", url, "--table", table]


def many_records(store, n, prefix="mcp:r"):
    for k in range(n):
        e = EntityTrust(f"{prefix}{k}")
        e.update_from_outcome(k % 3 != 0, 0.5)
        store.save(e)


def entries(folder):
    """What a test's folder holds, but the home directory every test has there."""
    return sorted(name for name in os.listdir(folder) if name != "home")


def done_at_least(what, n):
    """A test of a terminal's text: the progress display of what has shown n or more done."""
    return lambda text: any(int(k) >= n for k in re.findall(rf"{what} \[[#.]+\] (\d+)/", text))


def on_terminal(args, columns=40, env=None, stdout=subprocess.PIPE):
    """The command with its standard error on a pseudo-terminal of the given width; returns the
    process and the terminal's reading end."""
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
    proc = subprocess.Popen([COMMAND, *map(str, args)], stdout=stdout, stderr=slave, text=True,
                            env={**os.environ, **(env or {})}, preexec_fn=default_sigint)
    os.close(slave)
    return proc, master


def read_terminal(master, until=None, timeout=60):
    """What the terminal shows, until the command closes it (or until until(text) is true)."""
    seen, deadline = b"", time.monotonic() + timeout
    while time.monotonic() < deadline:
        ready, _, _ = select.select([master], [], [], 0.1)
        if ready:
            try:
                chunk = os.read(master, 65536)
            except OSError:  # the other side is closed
                break
            if not chunk:
                break
            seen += chunk
            if until and until(seen.decode(errors="replace")):
                break
    return seen.decode(errors="replace")


class TestInspectingWritesNothing:
    @pytest.mark.parametrize("args", [["list"], ["show", "mcp:x"], ["check"], ["export"], ["report"]])
    def test_a_directory_that_is_not_there(self, tmp_path, args):
        nowhere = tmp_path / "nowhere"
        done = velk_trust("--store", nowhere, *args)
        assert (done.returncode, done.stdout) == (3, "")
        assert done.stderr == f"velk-trust: Storage error: no record directory at '{nowhere}'\n"
        assert not nowhere.exists()

    @pytest.mark.parametrize("args", [["list"], ["show", "mcp:x"], ["check"], ["export"], ["report"]])
    def test_a_table_that_is_not_there(self, database_url, args):
        typo = new_table()
        done = velk_trust("--store", database_url, "--table", typo, *args)
        assert (done.returncode, done.stdout) == (3, "")
        assert done.stderr == f"velk-trust: Storage error: no table '{typo}' in the database\n"
        assert psql(database_url, f"SELECT to_regclass('{typo}') IS NULL") == ["t"]


class TestHelpAndStatuses:
    def test_every_help_names_the_exit_statuses_and_fits_the_terminal(self):
        env = {**os.environ, "COLUMNS": "70"}
        for args in ([], *([c] for c in SUBCOMMANDS)):
            helped = subprocess.run([COMMAND, *args, "--help"], capture_output=True, text=True, timeout=60, env=env)
            assert helped.returncode == 0
            assert "exit status:\n  0    done\n" in helped.stdout
            assert "  3    the store could not be opened, or a call on it failed\n" in helped.stdout
            assert "example:\n  velk-trust " in helped.stdout
            assert max(len(line) for line in helped.stdout.splitlines()) <= 70, helped.stdout
        decay = subprocess.run([COMMAND, "decay", "--help"], capture_output=True, text=True, timeout=60, env=env).stdout
        assert "the fraction lost per day, between 0 and 1 (e.g. 0.01 for 1 % a day)" in " ".join(decay.split())
        assert "--store PATH|URL" in decay

    def test_version(self):
        import velk_trust as module
        done = velk_trust("--version")
        assert done.returncode == 0 and done.stdout.startswith(f"velk-trust {module.__version__} ")

    def test_a_closed_pipe_ends_the_command_quietly(self, tmp_path):
        store = TrustStore(str(tmp_path / "records"))
        many_records(store, 2000)
        proc = subprocess.Popen([COMMAND, "--store", tmp_path / "records", "list", "--json"], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
        assert proc.stdout.readline() == b"[\n"
        proc.stdout.close()  # as `| head -1` does
        assert proc.wait(timeout=60) == 141
        assert proc.stderr.read() == b""

    def test_raw_ends_with_a_newline_only_on_a_terminal(self, tmp_path):
        store = TrustStore(str(tmp_path / "records"))
        store.update("mcp:x", True, 1.0)
        stored = record_file(tmp_path / "records", "mcp:x").read_bytes()
        assert not stored.endswith(b"\n")
        piped = subprocess.run([COMMAND, "--store", tmp_path / "records", "show", "mcp:x", "--raw"], capture_output=True,
                               timeout=60)
        assert piped.stdout == stored
        master, slave = pty.openpty()
        proc = subprocess.Popen([COMMAND, "--store", tmp_path / "records", "show", "mcp:x", "--raw"], stdout=slave)
        os.close(slave)
        shown = read_terminal(master)
        assert proc.wait(timeout=60) == 0
        assert shown.replace("\r\n", "\n") == stored.decode() + "\n"


class TestDecay:
    @pytest.mark.parametrize("args, message", [
        (["--rate", "7"], "argument --rate: 7 is not a fraction per day between 0 and 1; for 7 % a day, give 0.07"),
        (["--rate", "-0.1"], "argument --rate: -0.1 is not a fraction per day between 0 and 1"),
        (["--rate", "nan"], "argument --rate: 'nan' is not a finite number"),
        (["--rate", "150"], "argument --rate: 150 is not a fraction per day between 0 and 1"),
        (["--days", "-5"], "argument --days: -5 is negative: give the days of inactivity, 0 or more"),
        (["--min-idle", "-1"], "argument --min-idle: -1 is negative: give the days of inactivity, 0 or more"),
    ])
    def test_values_out_of_range_are_usage_errors(self, tmp_path, args, message):
        store = TrustStore(str(tmp_path / "records"))
        store.update("mcp:x", True, 1.0)
        before = contents(tmp_path / "records")
        given = {"--days": "30", "--rate": "0.01"}
        given.update(dict(zip(args[::2], args[1::2])))
        done = velk_trust("--store", tmp_path / "records", "decay", *[x for kv in given.items() for x in kv])
        assert done.returncode == 2 and done.stdout == ""
        assert done.stderr.splitlines()[-1] == f"velk-trust decay: error: {message}"
        assert contents(tmp_path / "records") == before

    def test_a_dry_run_counts_what_decay_then_does(self, operated):
        store, where = operated
        many_records(store, 30)
        idle = EntityTrust("mcp:idle")
        idle.update_from_outcome(True, 0.5)
        data = json.loads(idle.to_json()) | {"last_action": "2020-01-01T00:00:00Z"}
        store.save(EntityTrust.from_json(json.dumps(data)))  # its last action years ago
        before = {e.entity_id: e.to_json() for e in store.get_by_type("mcp")}
        dry = velk_trust(*where, "decay", "--days", 10, "--rate", 0.05, "--min-idle", 0.0001, "--dry-run", "--json")
        assert dry.returncode == 0, dry.stderr
        assert json.loads(dry.stdout) == {"records": 31, "decayed": 1, "misplaced_skipped": 0, "dry_run": True}
        assert {e.entity_id: e.to_json() for e in store.get_by_type("mcp")} == before
        for min_idle, expected in ((0.0001, "1 of 31 records decayed\n"), (0, "31 of 31 records decayed\n")):
            dry = velk_trust(*where, "decay", "--days", 10, "--rate", 0.05, "--min-idle", min_idle, "--dry-run")
            done = velk_trust(*where, "decay", "--days", 10, "--rate", 0.05, "--min-idle", min_idle)
            assert dry.stdout == expected.replace("decayed", "would be decayed (dry run: nothing changed)")
            assert done.stdout == expected

    def test_the_count_after_ctrl_c_is_the_records_own(self, tmp_path):
        """Ctrl-C at some point of a decay of 6000 records, three times: the count it reports is
        the number of records that changed."""
        records = tmp_path / "records"
        many_records(TrustStore(str(records)), 6000)
        shutil.copytree(records, tmp_path / "before")
        before = contents(records)
        for wait_for in (1, 1500, 4000):
            proc, master = on_terminal(["--store", records, "decay", "--days", 30, "--rate", 0.02],
                                       env={"VELK_TRUST_PROGRESS_AFTER": "0"}, columns=100)
            # Until the display shows that many records done: Ctrl-C lands in the middle of the work.
            seen = read_terminal(master, until=done_at_least("decay", wait_for))
            proc.send_signal(signal.SIGINT)
            seen += read_terminal(master)
            out, _ = proc.communicate(timeout=60)
            os.close(master)
            assert proc.returncode == 130, seen
            said = re.search(r"velk-trust: interrupted: (\d+) of 6000 records decayed; the others are untouched", seen)
            assert said, seen
            changed = sum(1 for (name, data), (_, old) in zip(contents(records), before) if data != old)
            assert int(said.group(1)) == changed and 0 < changed < 6000
            shutil.rmtree(records)
            shutil.copytree(tmp_path / "before", records)


class TestExport:
    def test_an_interrupted_export_leaves_the_file_that_was_there(self, tmp_path):
        records = tmp_path / "records"
        many_records(TrustStore(str(records)), 4000)
        backup = tmp_path / "backup.jsonl"
        backup.write_text("the previous backup\n")
        proc, master = on_terminal(["--store", records, "export", "-o", backup], env={"VELK_TRUST_PROGRESS_AFTER": "0"},
                                   columns=100)
        seen = read_terminal(master, until=done_at_least("export", 1))
        proc.send_signal(signal.SIGINT)
        seen += read_terminal(master)
        proc.wait(timeout=60)
        os.close(master)
        assert proc.returncode == 130, seen
        assert backup.read_text() == "the previous backup\n"
        assert entries(tmp_path) == ["backup.jsonl", "records"]
        # Whole, it replaces the file.
        done = velk_trust("--store", records, "export", "-o", backup, "--json")
        assert done.returncode == 0 and json.loads(done.stdout) == {"exported": 4000, "unreadable": []}
        assert len(backup.read_text().splitlines()) == 4000 and entries(tmp_path) == ["backup.jsonl", "records"]

    def test_an_export_that_fails_leaves_nothing(self, tmp_path):
        records = tmp_path / "records"
        TrustStore(str(records)).update("mcp:x", True, 1.0)
        (tmp_path / "taken").mkdir()
        done = velk_trust("--store", records, "export", "-o", tmp_path / "taken")
        assert done.returncode == 3 and "Is a directory" in done.stderr
        assert entries(tmp_path) == ["records", "taken"] and os.listdir(tmp_path / "taken") == []

    def test_an_interrupted_export_to_standard_output_says_it_is_incomplete(self, tmp_path):
        records = tmp_path / "records"
        many_records(TrustStore(str(records)), 2000)
        proc = subprocess.Popen([COMMAND, "--store", records, "export"], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True, preexec_fn=default_sigint)
        deadline = time.monotonic() + 60
        # Its output fills the pipe nobody reads: it waits in a write.
        while "pipe" not in open(f"/proc/{proc.pid}/wchan").read() and time.monotonic() < deadline:
            time.sleep(0.01)
        proc.send_signal(signal.SIGINT)
        _, err = proc.communicate(timeout=60)
        assert proc.returncode == 130
        assert err == "velk-trust: interrupted: the output is incomplete\n"


IMPORTER_RACE = """
import pickle, sys, velk_trust
store = pickle.loads(bytes.fromhex(sys.argv[1]))
print("ready", flush=True)
sys.stdin.readline()
for k in range(int(sys.argv[2])):
    store.update(f"mcp:r{k}", True, 0.5)
"""


class TestImport:
    def test_import_never_overwrites_what_a_writer_made_meanwhile(self, operated, tmp_path):
        store, where = operated
        n = 400
        (tmp_path / "backup.jsonl").write_text("".join(EntityTrust(f"mcp:r{k}").to_json().replace("\n", "") + "\n"
                                                       for k in range(n)))
        import pickle
        writer = subprocess.Popen([sys.executable, "-c", IMPORTER_RACE, pickle.dumps(store).hex(), str(n)],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        assert writer.stdout.readline() == "ready\n"
        importer = subprocess.Popen([COMMAND, *where, "import", tmp_path / "backup.jsonl", "--json"],
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        writer.stdin.write("go\n")
        writer.stdin.close()
        out, err = importer.communicate(timeout=120)
        assert writer.wait(timeout=120) == 0 and importer.returncode == 0, err
        summary = json.loads(out)
        assert summary["records"] == n and summary["imported"] + summary["skipped"] == n
        # Every update was kept: an import after it found the record, one before it was updated.
        assert [store.find(f"mcp:r{k}").action_count for k in range(n)] == [1] * n

    def test_replace_replaces_whole_records(self, tmp_path):
        records = tmp_path / "records"
        store = TrustStore(str(records))
        store.update("mcp:x", True, 1.0)
        (tmp_path / "one.jsonl").write_text(EntityTrust("mcp:x").to_json().replace("\n", "") + "\n")
        kept = velk_trust("--store", records, "import", tmp_path / "one.jsonl")
        assert kept.stdout == "0 records imported, 1 skipped as already there (--replace replaces them)\n"
        assert store.find("mcp:x").action_count == 1
        replaced = velk_trust("--store", records, "import", tmp_path / "one.jsonl", "--replace")
        assert replaced.stdout == "1 record imported, each replacing any record of its identifier\n"
        assert store.find("mcp:x").action_count == 0


class TestOneMeaningOfType:
    def test_type_is_the_stored_text_exactly(self, operated):
        store, where = operated
        for entity_id in ("agent:a", "agent:b", "mcp:c", "other:d"):
            store.update(entity_id, True, 0.5)
        for kind, expected in (("agent", ["agent:a", "agent:b"]), ("other", ["other:d"]), ("banana", []),
                               ("mcp", ["mcp:c"])):
            listed = velk_trust(*where, "list", "--type", kind, "--json")
            assert [r["entity_id"] for r in json.loads(listed.stdout)] == expected
            exported = velk_trust(*where, "export", "--type", kind)
            assert sorted(json.loads(line)["entity_id"] for line in exported.stdout.splitlines()) == expected
            decayed = velk_trust(*where, "decay", "--days", 1, "--rate", 0.01, "--type", kind, "--dry-run", "--json")
            assert json.loads(decayed.stdout)["records"] == len(expected)
        # The library's kind query reads a kind it does not know as "other": the command's --type does not.
        assert store.list_entities("agent") == ["other:d"]


class TestProgress:
    def test_on_a_terminal_it_fits_and_ends_in_one_summary_line(self, tmp_path):
        records = tmp_path / "records"
        many_records(TrustStore(str(records)), 3000)
        proc, master = on_terminal(["--store", records, "decay", "--days", 1, "--rate", 0.01],
                                   env={"VELK_TRUST_PROGRESS_AFTER": "0"}, columns=40)
        shown = read_terminal(master)
        out, _ = proc.communicate(timeout=60)
        os.close(master)
        assert proc.returncode == 0 and out == "3000 of 3000 records decayed\n"
        assert "decay [" in shown
        # Each state of the line is drawn over the last from its start: none is wider than the terminal.
        states = [s.replace("\x1b[K", "") for s in re.split(r"[\r\n]+", shown)]
        assert max(len(s) for s in states) <= 39, states
        assert re.fullmatch(r"3000 of 3000 records decayed in \d+\.\d s", [s for s in states if s][-1])

    def test_nothing_on_a_pipe(self, tmp_path):
        records = tmp_path / "records"
        many_records(TrustStore(str(records)), 300)
        done = subprocess.run([COMMAND, "--store", records, "list"], capture_output=True, text=True, timeout=60,
                              env={**os.environ, "VELK_TRUST_PROGRESS_AFTER": "0"})
        assert done.returncode == 0 and done.stderr == ""


class TestCheckAndRepairSayWhatToDo:
    def test_check_names_an_entity_whose_only_record_is_a_copy(self, tmp_path):
        records = tmp_path / "records"
        store = TrustStore(str(records))
        store.update("mcp:moved", True, 1.0)
        record_file(records, "mcp:moved").rename(records / "restored.json")
        done = velk_trust("--store", records, "check", "--json")
        assert done.returncode == 1
        assert json.loads(done.stdout)["summary"]["missing_at_own_place"] == [
            {"entity_id": "mcp:moved", "copies": [str(records / "restored.json")]}]
        fixed = velk_trust("--store", records, "repair")
        assert fixed.returncode == 0 and store.find("mcp:moved").action_count == 1


class TestReport:
    def test_it_says_what_store_when_and_what_check_finds(self, tmp_path):
        records = tmp_path / "records"
        store = TrustStore(str(records))
        store.update("mcp:x", True, 1.0)
        (records / "broken.json").write_text("{")
        done = velk_trust("--store", records, "report")
        assert done.returncode == 0
        first, second = done.stdout.splitlines()[:2]
        assert re.fullmatch(rf"{re.escape(str(records))}: 1 entity, report made \d{{4}}-\d\d-\d\d \d\d:\d\d:\d\d UTC",
                            first)
        assert second == "check finds 1 problem (1 unreadable): see `velk-trust check`"
        figures = json.loads(velk_trust("--store", records, "report", "--json").stdout)
        assert figures["store"] == str(records) and figures["problems"] == {"unreadable": 1}
        assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", figures["made_at"])

    def test_a_database_store_is_shown_without_its_password(self, database_url):
        from test_database_production import tcp_url
        url, table = tcp_url(database_url), new_table()
        TrustStore.connect(url, table=table).update("mcp:x", True, 1.0)
        done = velk_trust("--store", url, "--table", table, "report", "--json")
        assert done.returncode == 0, done.stderr
        shown = json.loads(done.stdout)["store"]
        assert shown.startswith(f"table '{table}' at ") and "password=***" in shown and "velk " not in shown


LABELS = """
<script>
// Every text of every chart: inside its chart, and over no other.
const boxes = [];
document.querySelectorAll("svg").forEach((svg, chart) => {
  const frame = svg.getBoundingClientRect();
  svg.querySelectorAll("text").forEach(t => {
    const b = t.getBoundingClientRect();
    boxes.push({chart, text: t.textContent, left: b.left, right: b.right, top: b.top, bottom: b.bottom,
                inside: b.left >= frame.left - 0.5 && b.right <= frame.right + 0.5 &&
                        b.top >= frame.top - 0.5 && b.bottom <= frame.bottom + 0.5});
  });
});
const overlaps = [];
for (let i = 0; i < boxes.length; i++)
  for (let j = i + 1; j < boxes.length; j++) {
    const a = boxes[i], b = boxes[j];
    if (a.left < b.right - 0.5 && b.left < a.right - 0.5 && a.top < b.bottom - 0.5 && b.top < a.bottom - 0.5)
      overlaps.push([a.text, b.text]);
  }
const out = document.createElement("pre");
out.id = "labels";
out.textContent = JSON.stringify({count: boxes.length, outside: boxes.filter(b => !b.inside).map(b => b.text),
                                  overlaps});
document.body.appendChild(out);
</script>
"""


@pytest.mark.skipif(shutil.which("chromium") is None, reason="Debian's chromium is not installed")
def test_a_report_of_50000_records_stays_readable(tmp_path):
    """Fifty thousand records, with segments of one record beside segments of tens of thousands:
    in the browser every label lies inside its chart and over no other."""
    records = tmp_path / "records"
    store = TrustStore(str(records))
    e = EntityTrust("mcp:seed")
    plan = [("mcp", 0.85, 30000), ("mcp", 0.65, 1), ("mcp", 0.05, 2), ("session", 0.45, 19990), ("session", 0.25, 3),
            ("a-type-with-a-long-name", 0.65, 4)]
    for kind, value, count in plan:
        for k in range(count):
            e = EntityTrust(f"{kind}:{value}-{k}")
            e.talent = e.training = e.temperament = value
            store.save(e)
    page = tmp_path / "report.html"
    done = subprocess.run([COMMAND, "--store", records, "report", "--html", page], capture_output=True, text=True,
                          timeout=600)
    assert done.returncode == 0, done.stderr
    text = page.read_text()
    assert "<script" not in text
    probe = tmp_path / "probe.html"
    probe.write_text(text.replace("</body>", LABELS + "</body>"))
    browser = ["chromium", "--headless", "--no-sandbox", "--disable-gpu", f"--user-data-dir={tmp_path / 'profile'}",
               "--window-size=900,1300", "--virtual-time-budget=5000", "--dump-dom", probe.as_uri()]
    dom = subprocess.run(browser, capture_output=True, text=True, timeout=120, check=True, env=without_sanitizer()).stdout
    found = re.search(r'<pre id="labels">(.*?)</pre>', dom, re.S)
    assert found, dom[-2000:]
    labels = json.loads(found.group(1).replace("&quot;", '"').replace("&amp;", "&").replace("&lt;", "<"))
    assert labels["count"] > 30 and labels["outside"] == [] and labels["overlaps"] == []
    assert "<strong id=\"entities\">50000</strong>" in dom


def test_the_test_server_script_keeps_a_cluster_it_is_given_again(tmp_path):
    script = os.path.join(ROOT, "scripts", "postgres.sh")
    folder = str(tmp_path / "pg")
    run = lambda *a: subprocess.run(["bash", script, *a, folder], capture_output=True, text=True, timeout=120,
                                    env=without_sanitizer())
    if os.geteuid() == 0:
        for folder_up in (tmp_path, tmp_path.parent, tmp_path.parent.parent):
            os.chmod(folder_up, 0o755)  # the server's user makes its files below
    try:
        first = run("start")
        assert first.returncode == 0, first.stderr
        url = first.stdout.strip()
        psql(url, "CREATE TABLE kept (x int)")
        assert run("pause").returncode == 0
        again = run("start")
        assert again.returncode == 0 and again.stdout.strip() == url
        assert psql(url, "SELECT to_regclass('kept') IS NOT NULL") == ["t"]
        assert run("start").stdout.strip() == url  # running: the same one
    finally:
        run("stop")
    assert not os.path.exists(folder)


def test_the_readme_lists_every_exit_status_and_option():
    readme = open(os.path.join(ROOT, "README.md")).read()
    for text in ("`VELK_TRUST_STORE`", "`--remove-identical`", "`--dry-run`", "| 3 |", "| 130 |", "`--version`",
                 "`VELK_TRUST_PROGRESS_AFTER`"):
        assert text in readme, text



class TestCopyBetweenBackends:
    @pytest.mark.parametrize("source,target", [(a, b) for a in ("directory", "database", "sqlite")
                                               for b in ("directory", "database", "sqlite") if a != b])
    def test_copy_keeps_every_text_byte_for_byte(self, source, target, tmp_path, request):
        table = new_table()

        def where(kind, name):
            return {"directory": lambda: str(tmp_path / name),
                    "database": lambda: request.getfixturevalue("database_url"),
                    "sqlite": lambda: f"sqlite:{tmp_path / name}.db"}[kind]()
        src, dst = where(source, "source"), where(target, "target")
        store = TrustStore.open(src, table=table)
        store.update("mcp:a", True, 0.5)
        store.witness("agent:w", "mcp:a", False, 0.25)
        store.save(EntityTrust("ref:\u00e9t\u00e9 \U0001f600"))
        done = velk_trust("--table", table, "copy", src, dst)
        assert done.returncode == 0, done.stderr
        assert "3 records copied" in done.stdout and "3 byte for byte" in done.stdout
        copied = TrustStore.open(dst, table=table, create=False)
        assert sorted(copied.list_entities()) == sorted(store.list_entities())
        for entity_id in store.list_entities():
            assert copied.find(entity_id).to_json() == store.find(entity_id).to_json()
