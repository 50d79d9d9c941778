"""Looking after a store: TrustStore.check() and the velk-trust command, run as a user runs it."""
import fcntl
import json
import os
import shutil
import signal
import subprocess
import sys
import time

import pytest

from velk_trust import EntityTrust, TrustStore
from conftest import with_fault_library, without_sanitizer
from test_trust_store import record_file


def damaged_store(records_dir):
    """A store with one entry of every kind check() names; returns {file name: expected finding}."""
    store = TrustStore(str(records_dir))
    store.update("mcp:fs", True, 0.5)
    store.update("session:a", False, 0.5)
    store.witness("session:a", "mcp:fs", True, 0.5)
    store.save(EntityTrust("mcp:copied"))
    record_file(records_dir, "mcp:copied").rename(records_dir / "restored.json")
    (records_dir / "empty.json").write_bytes(b"")
    (records_dir / "binary.json").write_bytes(b'{"entity_id": "x:\xff"}')
    os.mkfifo(records_dir / "pipe.json")
    (records_dir / "sub.json").mkdir()
    os.symlink("nowhere", records_dir / "dangling.json")
    (records_dir / (record_file(records_dir, "mcp:fs").name + ".tmp")).write_text("{")
    (records_dir / "notes.txt").write_text("not a record")
    return {
        record_file(records_dir, "mcp:fs").name: ("record", "mcp:fs", None),
        record_file(records_dir, "session:a").name: ("record", "session:a", None),
        "restored.json": ("misplaced", "mcp:copied", str(record_file(records_dir, "mcp:copied"))),
        "empty.json": ("unreadable", None, "Serialization error: EOF while parsing a value at line 1 column 0"),
        "binary.json": ("unreadable", None, "IO error: stream did not contain valid UTF-8"),
        "pipe.json": ("not a regular file", None,
                      "IO error: the record file is a named pipe (FIFO), not a regular file"),
        "sub.json": ("not a regular file", None, "IO error: Is a directory (os error 21)"),
        "dangling.json": ("unreadable", None, "IO error: No such file or directory (os error 2)"),
        record_file(records_dir, "mcp:fs").name + ".tmp": ("temporary", None, None),
        "notes.txt": ("unknown", None, None),
    }


def contents(directory):
    return sorted((p.name, p.read_bytes() if p.is_file() and not p.is_fifo() else None)
                  for p in directory.iterdir())


class TestCheck:
    def test_every_entry_gets_its_verdict_and_nothing_is_written(self, records_dir):
        expected = damaged_store(records_dir)
        before = contents(records_dir)
        findings = TrustStore(str(records_dir)).check()
        assert {os.path.basename(f["path"]): (f["verdict"], f["entity_id"], f["detail"]) for f in findings} == expected
        assert all(os.path.dirname(f["path"]) == str(records_dir) for f in findings)
        records = {f["entity_id"]: f["record"] for f in findings if f["record"] is not None}
        assert records["mcp:fs"].witness_count == 1 and records["mcp:copied"].action_count == 0
        assert contents(records_dir) == before

    def test_a_missing_directory_fails(self, records_dir):
        store = TrustStore(str(records_dir))
        records_dir.rmdir()
        with pytest.raises(ValueError) as e:
            store.check()
        assert str(e.value) == "IO error: No such file or directory (os error 2)"


COMMAND = os.path.join(os.path.dirname(sys.executable), "velk-trust")


def velk_trust(*args, module=False, **kwargs):
    """The command as a user runs it: its exit status, standard output and standard error."""
    program = [sys.executable, "-m", "velk_trust_cli"] if module else [COMMAND]
    return subprocess.run([*program, *map(str, args)], capture_output=True, text=True, timeout=60, **kwargs)


@pytest.fixture
def tour_store(records_dir):
    store = TrustStore(str(records_dir))
    store.update("mcp:filesystem", True, 0.8)
    store.update("mcp:filesystem", True, 0.8)
    store.witness("session:alice", "mcp:filesystem", True, 0.5)
    store.update("mcp:flaky", False, 0.9)
    store.update("role:reviewer", True, 0.3)
    return store


class TestCommand:
    def test_list(self, tour_store, records_dir):
        done = velk_trust("--store", records_dir, "list", "--json")
        assert done.returncode == 0, done.stderr
        rows = json.loads(done.stdout)
        assert [r["entity_id"] for r in rows] == ["mcp:filesystem", "mcp:flaky", "role:reviewer", "session:alice"]
        e = tour_store.get("mcp:filesystem")
        assert rows[0] | {"last_action": None, "path": None} == {
            "entity_id": "mcp:filesystem", "entity_type": "mcp", "level": e.trust_level(), "t3_average": e.t3_average(),
            "v3_average": e.v3_average(), "action_count": 2, "success_rate": 1.0, "witness_count": 1,
            "last_action": None, "path": None, "misplaced": False}
        stored = json.loads(record_file(records_dir, "mcp:filesystem").read_text())
        assert stored["last_action"] == rows[0]["last_action"]
        by_level = velk_trust("list", "--store", records_dir, "--type", "mcp", "--sort", "level")
        lines = by_level.stdout.splitlines()
        assert lines[0].split() == ["ID", "TYPE", "LEVEL", "T3", "V3", "ACTIONS", "SUCCESS", "WITNESSES", "LAST",
                                    "ACTION"]
        assert [line.split()[0] for line in lines[1:]] == ["mcp:filesystem", "mcp:flaky"]
        assert velk_trust("--store", records_dir, "list", module=True).stdout == velk_trust(
            "--store", records_dir, "list").stdout

    def test_show(self, tour_store, records_dir):
        raw = velk_trust("--store", records_dir, "show", "mcp:filesystem", "--raw")
        assert raw.returncode == 0 and raw.stdout == record_file(records_dir, "mcp:filesystem").read_text()
        shown = json.loads(velk_trust("--store", records_dir, "show", "mcp:filesystem", "--json").stdout)
        e = tour_store.find("mcp:filesystem")
        assert shown | {"days_since_last_action": 0} == json.loads(raw.stdout) | {
            "level": "medium", "t3_average": e.t3_average(), "v3_average": e.v3_average(), "success_rate": 1.0,
            "days_since_last_action": 0, "path": str(record_file(records_dir, "mcp:filesystem")), "misplaced": False}
        table = velk_trust("--store", records_dir, "show", "session:alice").stdout
        assert "has_witnessed           mcp:filesystem" in table and "last_action             -" in table

    def test_inspecting_writes_nothing(self, tour_store, records_dir):
        record_file(records_dir, "mcp:flaky").rename(records_dir / "restored.json")  # get_by_type would recreate it
        before = contents(records_dir)
        missing = velk_trust("--store", records_dir, "show", "mcp:absent")
        assert missing.returncode == 1 and missing.stdout == ""
        assert missing.stderr == (f"velk-trust: no record of 'mcp:absent' in TrustStore(path='{records_dir}') "
                                  "(show creates none)\n")
        for args in (["list"], ["list", "--type", "mcp"], ["show", "mcp:flaky"], ["check"], ["check", "--json"]):
            velk_trust("--store", records_dir, *args)
        assert contents(records_dir) == before
        nowhere = velk_trust("--store", records_dir / "nowhere", "list")
        assert (nowhere.returncode, nowhere.stderr) == (3, f"velk-trust: Storage error: no record directory at "
                                                           f"'{records_dir / 'nowhere'}'\n")
        assert not (records_dir / "nowhere").exists()

    def test_check(self, records_dir):
        expected = damaged_store(records_dir)
        done = velk_trust("--store", records_dir, "check", "--json")
        assert done.returncode == 1, done.stderr
        checked = json.loads(done.stdout)
        assert {os.path.basename(f["path"]): (f["verdict"], f["entity_id"], f["detail"])
                for f in checked["findings"]} == expected
        assert checked["summary"] | {"by_verdict": None} == {
            "entries": 10, "records": 2, "problems": 7, "by_verdict": None,
            "missing_at_own_place": [{"entity_id": "mcp:copied", "copies": [str(records_dir / "restored.json")]}]}
        table = velk_trust("--store", records_dir, "check")
        assert table.returncode == 1
        assert table.stdout.splitlines()[-1] == "10 entries: 2 records in place, 7 problems"
        assert f"misplaced           {records_dir / 'restored.json'}  'mcp:copied' " in table.stdout
        assert ("'mcp:copied' has no record at its own place, only 1 misplaced copy (above); its next update "
                "starts from a neutral record unless `velk-trust repair` moves a copy home") in table.stdout

    def test_exit_statuses(self, tour_store, records_dir, isolated_home):
        (records_dir / "notes.txt").write_text("an unknown file is no problem")
        assert velk_trust("--store", records_dir, "check").returncode == 0
        usage = velk_trust("list", "--sort", "size")
        assert usage.returncode == 2 and "invalid choice: 'size'" in usage.stderr
        assert velk_trust("show").returncode == 2
        no_home = velk_trust("list", env={k: v for k, v in os.environ.items() if k not in ("HOME", "USERPROFILE")})
        assert (no_home.returncode, no_home.stderr) == (3, "velk-trust: Storage error: Cannot find home directory\n")
        for command in ("list", "show", "check"):
            helped = velk_trust(command, "--help")
            assert helped.returncode == 0 and "example:\n  velk-trust " in helped.stdout


UPDATING = """
import sys, velk_trust
store = velk_trust.TrustStore(sys.argv[1])
print("ready", flush=True)
for _ in range(400):
    store.update("mcp:busy", True, 0.5)
"""


class TestDecay:
    def test_decay_is_the_records_own_arithmetic(self, tour_store, records_dir):
        before = {e.entity_id: e for e in tour_store.get_by_type("mcp") + tour_store.get_by_type("role")}
        done = velk_trust("--store", records_dir, "decay", "--days", 30, "--rate", 0.02, "--type", "mcp", "--json")
        assert done.returncode == 0, done.stderr
        assert json.loads(done.stdout) == {"records": 2, "decayed": 2, "misplaced_skipped": 0, "dry_run": False}
        for entity_id, e in before.items():
            if entity_id.startswith("mcp:"):
                assert e.apply_decay(30, 0.02)
            assert tour_store.get(entity_id).to_dict() == e.to_dict()
        idle = velk_trust("--store", records_dir, "decay", "--days", 30, "--rate", 0.02, "--min-idle", 1)
        assert (idle.returncode, idle.stdout) == (0, "0 of 4 records decayed\n")

    def test_decay_beside_a_process_that_updates_loses_nothing(self, records_dir):
        TrustStore(str(records_dir)).update("mcp:busy", True, 0.5)
        child = subprocess.Popen([sys.executable, "-c", UPDATING, str(records_dir)], stdout=subprocess.PIPE, text=True)
        assert child.stdout.readline().strip() == "ready"
        while child.poll() is None:
            assert velk_trust("--store", records_dir, "decay", "--days", 1, "--rate", 0.01).returncode == 0
        child.stdout.close()
        assert child.returncode == 0
        assert TrustStore(str(records_dir)).get("mcp:busy").action_count == 401

    def test_decay_creates_nothing_and_refuses_a_misplaced_copy(self, tour_store, records_dir):
        assert tour_store.decay("mcp:absent", 30, 0.02) is False
        assert not tour_store.exists("mcp:absent")
        record_file(records_dir, "mcp:filesystem").rename(record_file(records_dir, "mcp:other"))
        with pytest.raises(ValueError) as e:
            tour_store.decay("mcp:other", 30, 0.02)
        assert str(e.value) == (f"Storage error: record file '{record_file(records_dir, 'mcp:other')}' holds the "
                                "record of 'mcp:filesystem', not of 'mcp:other'")


class TestRepair:
    def test_repair_mends_what_it_can_and_deletes_no_record(self, records_dir):
        damaged_store(records_dir)
        stale = records_dir / (record_file(records_dir, "mcp:fs").name + ".tmp")
        os.utime(stale, (time.time() - 600, time.time() - 600))
        held = records_dir / (record_file(records_dir, "session:a").name + ".tmp")  # a save writing it now
        held.write_text("{")
        os.utime(held, (time.time() - 600, time.time() - 600))
        held_fd = os.open(held, os.O_RDONLY)
        fcntl.flock(held_fd, fcntl.LOCK_EX)
        # Copies of mcp:fs under other names: its own path is taken, so they stay; the one that is
        # byte for byte the record is said to be safe to remove.
        (records_dir / "second.json").write_bytes(record_file(records_dir, "mcp:fs").read_bytes())
        (records_dir / "second.json").rename(records_dir / "conflict.json")
        changed = json.loads(record_file(records_dir, "mcp:fs").read_text()) | {"talent": 0.125}
        (records_dir / "third.json").write_text(json.dumps(changed, indent=2))
        (records_dir / "third.json").rename(records_dir / "differs.json")
        unreadable = {name: (records_dir / name).read_bytes() for name in ("empty.json", "binary.json")}
        copied = (records_dir / "restored.json").read_bytes()
        before = contents(records_dir)

        dry = velk_trust("--store", records_dir, "repair", "--dry-run")
        assert dry.returncode == 1 and contents(records_dir) == before
        assert not os.path.exists(f"{records_dir}.quarantine")

        done = velk_trust("--store", records_dir, "repair", "--json")
        os.close(held_fd)
        assert done.returncode == 1, done.stderr  # the pipe, the directory and the conflict are left
        report = json.loads(done.stdout)
        actions = {os.path.basename(a["path"]): a["action"] for a in report["actions"]}
        assert actions == {"restored.json": "moved", "conflict.json": "identical", "differs.json": "conflict",
                           "empty.json": "quarantined", "binary.json": "quarantined", "dangling.json": "quarantined",
                           stale.name: "removed", held.name: "left", "pipe.json": "left", "sub.json": "left",
                           "notes.txt": "left"}
        details = {os.path.basename(a["path"]): a["detail"] for a in report["actions"]}
        assert details["conflict.json"].endswith("byte for byte the same: this copy is safe to remove "
                                                 "(repair --remove-identical removes it)")
        moved_to = records_dir.parent / "records.quarantine" / "empty.json"
        assert details["empty.json"] == (
            f"moved to {moved_to}: the entity whose record it held starts from a neutral record at its next "
            f"update; to restore it, mend the file and move it back: mv {moved_to} {records_dir / 'empty.json'}")
        assert record_file(records_dir, "mcp:copied").read_bytes() == copied
        quarantine = records_dir.parent / "records.quarantine"
        assert {name: (quarantine / name).read_bytes() for name in unreadable} == unreadable
        assert os.path.islink(records_dir.parent / "records.quarantine" / "dangling.json")
        assert not stale.exists() and held.exists()
        assert sorted(f["verdict"] for f in TrustStore(str(records_dir)).check() if f["verdict"] in (
            "misplaced", "unreadable", "not a regular file", "temporary")) == [
            "misplaced", "misplaced", "not a regular file", "not a regular file", "temporary"]
        again = velk_trust("--store", records_dir, "repair", "--remove-identical", "--json")
        actions = {os.path.basename(a["path"]): a["action"] for a in json.loads(again.stdout)["actions"]}
        assert (actions["conflict.json"], actions["differs.json"]) == ("removed", "conflict")
        assert not (records_dir / "conflict.json").exists() and (records_dir / "differs.json").exists()

    def test_repair_beside_a_process_that_updates_loses_nothing(self, records_dir):
        store = TrustStore(str(records_dir))
        store.update("mcp:busy", True, 0.5)
        store.save(EntityTrust("mcp:copied"))
        child = subprocess.Popen([sys.executable, "-c", UPDATING, str(records_dir)], stdout=subprocess.PIPE, text=True)
        assert child.stdout.readline().strip() == "ready"
        moves = 0
        while child.poll() is None:
            record_file(records_dir, "mcp:copied").rename(records_dir / "restored.json")
            done = velk_trust("--store", records_dir, "repair", "--json")
            assert done.returncode == 0, done.stdout + done.stderr
            moves += 1
        child.stdout.close()
        assert child.returncode == 0 and moves > 0
        assert store.get("mcp:busy").action_count == 401
        assert [f["verdict"] for f in store.check()].count("record") == 2


class TestRepairFacts:
    """What the command knows of a record directory beyond check()'s findings, held to the module."""

    def test_the_default_directory_is_the_one_trust_store_opens(self, isolated_home):
        from velk_trust_cli.stores import default_directory
        assert not os.path.exists(default_directory())
        assert default_directory() == TrustStore().directory

    def test_the_lock_repair_takes_is_the_one_writers_take(self, records_dir):
        TrustStore(str(records_dir)).get("mcp:locked")
        fd = os.open(records_dir, os.O_RDONLY | os.O_DIRECTORY)
        fcntl.flock(fd, fcntl.LOCK_EX)
        writer = subprocess.Popen([sys.executable, "-c", "import sys, velk_trust; "
                                   "velk_trust.TrustStore(sys.argv[1]).update('mcp:locked', True, 1.0)", records_dir])
        try:
            with pytest.raises(subprocess.TimeoutExpired):
                writer.wait(timeout=1.0)
        finally:
            os.close(fd)
        assert writer.wait(timeout=30) == 0
        assert TrustStore(str(records_dir)).get("mcp:locked").action_count == 1

    def test_a_save_holds_its_named_temporary_file(self, records_dir, fault_library):
        from velk_trust_cli.repair import temporary_in_use, writer_gone
        store = TrustStore(str(records_dir))
        store.get("mcp:saved")
        temporary = records_dir / (record_file(records_dir, "mcp:saved").name + ".tmp")
        saver = subprocess.Popen([sys.executable, "-c", "import sys, velk_trust; s = velk_trust.TrustStore(sys.argv[1]); "
                                  "s.save(s.get('mcp:saved'))", records_dir],
                                 env=with_fault_library(fault_library, FAULTS_RENAME_DELAY_MS="3000"))
        deadline = time.monotonic() + 30
        while not temporary.exists() and time.monotonic() < deadline:
            time.sleep(0.01)
        assert temporary.exists() and temporary_in_use(str(temporary))
        assert {f["path"]: f["verdict"] for f in store.check()}[str(temporary)] == "temporary"
        assert saver.wait(timeout=30) == 0
        assert not temporary.exists()
        # A save's temporary of its own name carries its writer's process number.
        (records_dir / (temporary.name[:-len(".tmp")] + f".{saver.pid}-0.tmp")).write_text("{")
        (records_dir / (temporary.name[:-len(".tmp")] + f".{os.getpid()}-1.tmp")).write_text("{")
        gone = {os.path.basename(f["path"]): writer_gone(f["path"]) for f in store.check() if f["verdict"] == "temporary"}
        assert gone == {f"{temporary.name[:-4]}.{saver.pid}-0.tmp": True, f"{temporary.name[:-4]}.{os.getpid()}-1.tmp": False}


class TestExportImportCopy:
    @pytest.fixture
    def exact_store(self, tour_store, records_dir):
        """Values a careless round trip would change: shortest digits, tiny and huge exponents, texts to escape."""
        e = tour_store.get("mcp:flaky")
        e.talent, e.training, e.temperament = 0.1 + 0.2, 1e-6, 5e-324
        tour_store.save(e)
        tour_store.witness('session:"quoted" \\ é', "mcp:flaky", True, 1 / 3)
        return tour_store

    def test_a_round_trip_gives_the_same_bytes(self, exact_store, records_dir, tmp_path):
        export = velk_trust("--store", records_dir, "export")
        assert export.returncode == 0 and export.stderr == "5 records exported\n"
        lines = export.stdout.splitlines()
        assert len(lines) == 5 and all(json.loads(line)["entity_id"] for line in lines)
        (tmp_path / "backup.jsonl").write_text(export.stdout)
        done = velk_trust("--store", tmp_path / "copy", "import", tmp_path / "backup.jsonl")
        assert done.returncode == 0 and done.stdout.startswith("5 records imported, 0 skipped")
        assert contents(tmp_path / "copy") == contents(records_dir)
        again = velk_trust("--store", tmp_path / "copy", "import", tmp_path / "backup.jsonl")
        assert again.stdout.startswith("0 records imported, 5 skipped")
        copied = velk_trust("copy", records_dir, tmp_path / "copied")
        assert copied.returncode == 0, copied.stderr
        assert copied.stdout == (f"5 records copied to TrustStore(path='{tmp_path / 'copied'}'): 5 byte for byte, "
                                 "0 rewritten in the writer's form, 0 differing\n")
        assert contents(tmp_path / "copied") == contents(records_dir)

    def test_unreadable_records_are_named_and_bad_lines_stop_the_import(self, exact_store, records_dir, tmp_path):
        (records_dir / "broken.json").write_text("{")
        export = velk_trust("--store", records_dir, "export", "--type", "mcp", "-o", tmp_path / "mcp.jsonl")
        assert export.returncode == 1
        assert export.stderr == (f"velk-trust: not exported: {records_dir / 'broken.json'}: Serialization error: "
                                 "EOF while parsing an object at line 1 column 1\n2 records exported\n")
        lines = (tmp_path / "mcp.jsonl").read_text().splitlines()
        assert sorted(json.loads(line)["entity_id"] for line in lines) == ["mcp:filesystem", "mcp:flaky"]
        (tmp_path / "bad.jsonl").write_text(lines[0] + '\n{"entity_id": "x:y", "talent": "high"}\n')
        done = velk_trust("--store", tmp_path / "target", "import", tmp_path / "bad.jsonl")
        assert done.returncode == 2 and done.stdout == ""
        assert done.stderr == (f"velk-trust: {tmp_path / 'bad.jsonl'}: line 2: Serialization error: invalid type: "
                               'string "high", expected f64 at line 1 column 38\nvelk-trust: nothing imported\n')
        assert not (tmp_path / "target").exists()
        replaced = exact_store.get("mcp:flaky")
        replaced.talent = 0.9
        exact_store.save(replaced)
        assert velk_trust("--store", records_dir, "import", tmp_path / "mcp.jsonl").returncode == 0
        assert exact_store.get("mcp:flaky").talent == 0.9
        assert velk_trust("--store", records_dir, "import", tmp_path / "mcp.jsonl", "--replace").returncode == 0
        assert exact_store.get("mcp:flaky").talent == 0.1 + 0.2


CHROMIUM = shutil.which("chromium")


class TestReport:
    @pytest.fixture
    def levels_store(self, records_dir):
        """Records whose T3 averages sit in known levels and bins."""
        store = TrustStore(str(records_dir))
        for entity_id, value, actions in (("mcp:a", 0.85, 3), ("mcp:b", 0.65, 9), ("mcp:c", 0.45, 1),
                                          ("session:d", 0.25, 0), ("agent:e", 0.05, 2)):
            e = EntityTrust(entity_id)
            for _ in range(actions):
                e.update_from_outcome(True, 0.0)  # counts an action, moves no tensor value
            e.talent = e.training = e.temperament = value
            store.save(e)
        return store

    def test_figures(self, levels_store, records_dir):
        done = velk_trust("--store", records_dir, "report", "--json")
        assert done.returncode == 0, done.stderr
        figures = json.loads(done.stdout)
        assert figures["entities"] == 5
        assert figures["by_kind"] == {
            "mcp": {"high": 1, "medium-high": 1, "medium": 1, "low": 0, "minimal": 0},
            "session": {"high": 0, "medium-high": 0, "medium": 0, "low": 1, "minimal": 0},
            "agent": {"high": 0, "medium-high": 0, "medium": 0, "low": 0, "minimal": 1}}
        assert figures["t3_histogram"] == [1, 0, 1, 0, 1, 0, 1, 0, 1, 0]
        assert [r["entity_id"] for r in figures["least_trusted"]] == ["agent:e", "session:d", "mcp:c", "mcp:b", "mcp:a"]
        assert [r["entity_id"] for r in figures["most_active"]][:3] == ["mcp:b", "mcp:a", "agent:e"]
        text = velk_trust("--store", records_dir, "report").stdout
        assert "0.8-0.9  " + "#" * 40 + "  1" in text
        assert "all         1            1       1    1        1    5" in text

    @pytest.mark.skipif(CHROMIUM is None, reason="Debian's chromium is not installed (scripts/test.sh installs it)")
    def test_the_page_renders_in_a_browser(self, levels_store, records_dir, tmp_path):
        page = tmp_path / "report.html"
        done = velk_trust("--store", records_dir, "report", "--html", page)
        assert done.stdout.startswith(f"{records_dir}: 5 entities, report made ")
        assert "\nT3 averages\n" in done.stdout and done.stdout.endswith(f"\nthe page is written to {page}\n")
        text = page.read_text()
        assert "<script" not in text and "http://" not in text.replace('xmlns="http://www.w3.org/2000/svg"', "")
        browser = [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
                   f"--user-data-dir={tmp_path / 'profile'}"]
        shot = tmp_path / "report.png"
        subprocess.run([*browser, f"--screenshot={shot}", "--window-size=900,1300", page.as_uri()],
                       capture_output=True, timeout=120, check=True, env=without_sanitizer())
        assert shot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" and shot.stat().st_size > 20_000
        dom = subprocess.run([*browser, "--dump-dom", page.as_uri()], capture_output=True, text=True, timeout=120,
                             check=True, env=without_sanitizer()).stdout
        assert '<strong id="entities">5</strong>' in dom
        for figure in ("<title>mcp, high: 1</title>", "<title>agent, minimal: 1</title>", "<title>0.8-0.9: 1</title>",
                       "<td>agent:e</td>"):
            assert figure in dom


class TestInterrupt:
    def test_ctrl_c_during_decay_leaves_each_record_decayed_or_untouched(self, tour_store, records_dir):
        before = contents(records_dir)
        held = os.open(records_dir, os.O_RDONLY | os.O_DIRECTORY)
        fcntl.flock(held, fcntl.LOCK_EX)  # decay waits for the lock at its first record
        try:
            child = subprocess.Popen([COMMAND, "--store", str(records_dir), "decay", "--days", "30", "--rate", "0.02"],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                     preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
            deadline = time.monotonic() + 60
            while "lock" not in open(f"/proc/{child.pid}/wchan").read() and time.monotonic() < deadline:
                time.sleep(0.01)  # until it waits in the kernel for the lock
            child.send_signal(signal.SIGINT)
            out, err = child.communicate(timeout=30)
        finally:
            os.close(held)
        assert (child.returncode, out) == (130, "")
        assert err == "velk-trust: interrupted: 0 of 4 records decayed; the others are untouched\n"
        assert contents(records_dir) == before
