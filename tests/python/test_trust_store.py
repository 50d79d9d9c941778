import hashlib
import json
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import velk_trust
from velk_trust import EntityTrust, TrustStore
from conftest import clean_env, run_python


def record_file(directory, entity_id):
    return directory / (hashlib.sha256(entity_id.encode()).hexdigest()[:16] + ".json")


class TestConstruction:
    def test_relative_path_with_ancestors(self, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        s = TrustStore("data/trust")
        assert repr(s) == str(s) == "TrustStore(path='data/trust')"
        assert (tmp_path / "data" / "trust").is_dir()
        TrustStore(path="~/x")
        assert (tmp_path / "~" / "x").is_dir()

    def test_default_directory_below_home(self, isolated_home):
        s = TrustStore()
        expected = isolated_home / ".velk" / "governance" / "entities"
        assert repr(s) == f"TrustStore(path='{expected}')"
        assert expected.is_dir()
        assert repr(velk_trust.create_memory_store()) == repr(TrustStore(None))
        velk_trust.create_memory_store().get("session:m")
        assert TrustStore().exists("session:m")

    @pytest.mark.parametrize(
        "path, message",
        [
            ("{file}", "IO error: File exists (os error 17)"),
            ("{file}/sub", "IO error: Not a directory (os error 20)"),
            ("a\0b", "IO error: file name contained an unexpected NUL byte"),
        ],
    )
    def test_open_failures(self, tmp_path, path, message):
        (tmp_path / "file").write_text("x")
        with pytest.raises(ValueError) as e:
            TrustStore(path.format(file=tmp_path / "file"))
        assert str(e.value) == message
        assert e.value.args == (message,)

    def test_repr_replaces_invalid_utf8(self, tmp_path):
        proc = run_python(
            """
            import os, velk_trust
            os.environb[b"HOME"] = b"%s/\\xff\\xfe"
            print(repr(velk_trust.TrustStore()))
            """ % str(tmp_path).encode().decode()
        )
        assert proc.stdout.strip() == f"TrustStore(path='{tmp_path}/\ufffd\ufffd/.velk/governance/entities')", proc.stderr


@pytest.mark.parametrize(
    "env, expected",
    [
        ({"HOME": "{tmp}/h"}, "{tmp}/h/.velk/governance/entities"),
        ({"USERPROFILE": "{tmp}/u"}, "{tmp}/u/.velk/governance/entities"),
        ({"HOME": "{tmp}/h", "USERPROFILE": "{tmp}/u"}, "{tmp}/h/.velk/governance/entities"),
        ({"HOME": ""}, ".velk/governance/entities"),
        ({}, "ValueError: Storage error: Cannot find home directory"),
    ],
)
def test_default_directory_from_environment(tmp_path, env, expected):
    env = {k: v.format(tmp=tmp_path) for k, v in env.items()}
    proc = run_python(
        """
        import velk_trust
        for make in (velk_trust.TrustStore, velk_trust.create_memory_store):
            try:
                print(repr(make()))
            except ValueError as e:
                print("ValueError:", e)
        """,
        env=clean_env(**env),
        cwd=tmp_path,
    )
    expected = expected.format(tmp=tmp_path)
    shown = expected if expected.startswith("ValueError") else f"TrustStore(path='{expected}')"
    assert proc.stdout.splitlines() == [shown, shown], proc.stderr
    if not expected.startswith("ValueError"):
        assert (tmp_path / expected).is_dir()


class TestRecords:
    def test_get_creates_and_returns_copies(self, store, records_dir):
        e = store.get("session:abc")
        assert (e.entity_type, e.entity_name, e.t3_average(), e.v3_average()) == ("session", "abc", 0.5, 0.5)
        assert store.exists("session:abc") is True
        assert store.list_entities() == ["session:abc"]
        assert record_file(records_dir, "session:abc").is_file()
        assert store.get("session:abc") is not store.get("session:abc")

    def test_save_is_explicit(self, store):
        t = store.get("a:b")
        t.talent = 0.9
        assert store.get("a:b").talent == 0.5
        assert store.save(trust=t) is None
        assert store.get("a:b").talent == 0.9

    def test_delete(self, store):
        store.get("session:abc")
        assert store.delete("session:abc") is True
        assert store.delete("session:abc") is False
        assert store.exists("session:abc") is False

    def test_update(self, store):
        e = store.update("a:b", True, 2)
        assert (e.action_count, e.success_count, e.training) == (1, 1, 0.525)
        f = store.update("c:d", False, 0.5)
        assert (f.action_count, f.success_count) == (1, 0)
        assert sorted(store.list_entities()) == ["a:b", "c:d"]

    def test_witness(self, store):
        pair = store.witness("w:1", "t:2", True, 0.5)
        assert isinstance(pair, tuple) and len(pair) == 2
        witness, target = pair
        assert (witness.entity_id, witness.has_witnessed) == ("w:1", ["t:2"])
        assert (target.entity_id, target.witnessed_by, target.witness_count) == ("t:2", ["w:1"], 1)

    def test_self_witness(self, store):
        first, second = store.witness("a:1", "a:1", True, 0.5)
        assert first.has_witnessed == ["a:1"] and first.witnessed_by == ["a:1"]
        assert second.has_witnessed == []
        assert store.get("a:1").to_dict() == first.to_dict()

    def test_listing_by_kind(self, store):
        for entity in ["session:s", "mcp:m", "mcp:n", "agent:x", "other:o", "plain"]:
            store.get(entity)
        assert sorted(store.list_entities("mcp")) == ["mcp:m", "mcp:n"]
        assert sorted(store.list_entities("mcp:anything")) == ["mcp:m", "mcp:n"]
        assert store.list_entities(None) == store.list_entities()
        for query in ["agent", "MCP", "", "a:b"]:
            assert store.list_entities(query) == ["other:o"]
        by_type = store.get_by_type("session")
        assert [e.entity_id for e in by_type] == ["session:s"]
        assert all(type(e) is EntityTrust for e in by_type)
        assert [e.entity_id for e in store.get_by_type("agent")] == ["other:o"]

    def test_misplaced_and_broken_files(self, store, records_dir):
        copied = store.get("mcp:z").to_dict()
        store.delete("mcp:z")
        (records_dir / "notes.json").write_text(json.dumps(copied))
        (records_dir / "broken.json").write_text("{")
        (records_dir / "a.txt").write_text("x")
        assert store.list_entities() == ["mcp:z"]
        [fetched] = store.get_by_type("mcp")
        assert fetched.entity_id == "mcp:z"
        assert record_file(records_dir, "mcp:z").is_file()  # made fresh at its own path
        assert sorted(store.list_entities("mcp")) == ["mcp:z", "mcp:z"]

        record_file(records_dir, "b:1").write_text("{not json")
        for call in (lambda: store.get("b:1"), lambda: store.update("b:1", True, 1.0),
                     lambda: store.witness("w:1", "b:1", True, 1.0)):
            with pytest.raises(ValueError) as e:
                call()
            assert str(e.value) == "Serialization error: key must be a string at line 1 column 2"
        record_file(records_dir, "b:2").write_bytes(b'{"entity_id":"\xff"}')
        with pytest.raises(ValueError) as e:
            store.get("b:2")
        assert str(e.value) == "IO error: stream did not contain valid UTF-8"

    def test_older_record_is_read_and_rewritten(self, store, records_dir):
        record_file(records_dir, "ref:old").write_text(json.dumps({
            "entity_id": "ref:old", "entity_type": "ref", "entity_name": "old",
            "competence": 0.7, "reliability": 0.5, "consistency": 0.8, "lineage": 0.2,
            "witnesses": 0.6, "alignment": 0.9, "created_at": "2025-06-01T08:00:00+02:00",
        }))
        e = store.update("ref:old", True, 0.0)
        assert (e.talent, e.training, e.temperament) == (0.7, 0.5, 0.75)
        text = record_file(records_dir, "ref:old").read_text()
        assert '"created_at": "2025-06-01T06:00:00Z"' in text
        assert "competence" not in text

    def test_directory_at_a_record_path(self, store, records_dir):
        record_file(records_dir, "d:1").mkdir()
        assert store.exists("d:1") is True
        for call in (lambda: store.get("d:1"), lambda: store.delete("d:1")):
            with pytest.raises(ValueError) as e:
                call()
            assert str(e.value).startswith("IO error: ")

    def test_vanished_directory(self, store, records_dir):
        records_dir.rmdir()
        for call in (lambda: store.get("a:b"), store.list_entities, lambda: store.get_by_type("mcp")):
            with pytest.raises(ValueError) as e:
                call()
            assert str(e.value) == "IO error: No such file or directory (os error 2)"
        assert store.exists("a:b") is False
        assert store.delete("a:b") is False

    def test_empty_path_is_the_working_directory(self, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        s = TrustStore("")
        assert repr(s) == "TrustStore(path='')"
        s.get("session:here")
        assert record_file(tmp_path, "session:here").is_file()
        for call in (s.list_entities, lambda: s.get_by_type("session")):
            with pytest.raises(ValueError) as e:
                call()
            assert str(e.value) == "IO error: No such file or directory (os error 2)"


UPDATER = """
import sys, velk_trust
store = velk_trust.TrustStore(sys.argv[1])
for _ in range(int(sys.argv[2])):
    store.update("session:shared", True, 0.1)
"""


def test_concurrent_processes_lose_no_update(records_dir):
    records_dir.mkdir()
    workers, per_worker = 4, 250
    procs = [subprocess.Popen([sys.executable, "-c", UPDATER, str(records_dir), str(per_worker)])
             for _ in range(workers)]
    assert all(p.wait(timeout=300) == 0 for p in procs)
    assert TrustStore(str(records_dir)).get("session:shared").action_count == workers * per_worker


SAVER = """
import sys, velk_trust
store = velk_trust.TrustStore(sys.argv[1])
record = velk_trust.EntityTrust("session:big")
for k in range(20000):
    record.receive_witness(f"mcp:witness-{k}", True, 0.01)
store.save(record)
print("ready", flush=True)
while True:
    record.update_from_outcome(True, 0.1)
    store.save(record)
"""


def test_readers_and_killed_writers_only_see_whole_records(records_dir):
    records_dir.mkdir()
    path = record_file(records_dir, "session:big")
    store = TrustStore(str(records_dir))
    for seconds in (0.05, 0.15, 0.3):
        child = subprocess.Popen([sys.executable, "-c", SAVER, str(records_dir)], stdout=subprocess.PIPE, text=True)
        assert child.stdout.readline().strip() == "ready"
        # Read while the child rewrites the record in a loop: never an empty or partial text.
        reads, deadline = 0, time.monotonic() + seconds
        while time.monotonic() < deadline:
            assert json.loads(path.read_text())["witness_count"] == 20000
            reads += 1
        assert store.get("session:big").witness_count == 20000
        child.send_signal(signal.SIGKILL)
        child.wait()
        child.stdout.close()
        assert reads > 0
        assert [p.name for p in records_dir.iterdir() if p.name.endswith(".json")] == [path.name]
        assert json.loads(path.read_text())["witness_count"] == 20000
        assert store.list_entities() == ["session:big"]
