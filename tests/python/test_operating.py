"""Looking after a store: TrustStore.check() and the velk-trust command, run as a user runs it."""
import json
import os
import subprocess
import sys

import pytest

from velk_trust import EntityTrust, TrustStore
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
