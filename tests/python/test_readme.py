"""The README's examples are run as written, so that it cannot drift from the module: sessions
(">>>") as doctests sharing one namespace in order, programs as scripts, and the record file
example read and written back byte for byte."""
import doctest
import hashlib
import json
import os
import pathlib
import re
import subprocess
import sys
import tempfile

import pytest

from velk_trust import TrustStore

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"
TEXT = README.read_text()
BLOCKS = re.findall(r"^```(\w+)\n(.*?)^```$", TEXT, flags=re.M | re.S)
# Sessions with the README line their first line stands on, for the failure reports.
SESSIONS = [(m.group(2), TEXT.count("\n", 0, m.start(2)))
            for m in re.finditer(r"^```(\w+)\n(.*?)^```$", TEXT, flags=re.M | re.S)
            if m.group(1) == "python" and m.group(2).lstrip().startswith(">>>")]
PROGRAMS = [code for lang, code in BLOCKS if lang == "python" and not code.lstrip().startswith(">>>")]
RECORDS = [code for lang, code in BLOCKS if lang == "json"]
CONSOLES = [code for lang, code in BLOCKS if lang == "console"]


def test_every_example_is_run():
    assert len(SESSIONS) >= 4 and PROGRAMS and RECORDS and CONSOLES
    assert len(SESSIONS) + len(PROGRAMS) == sum(1 for lang, _ in BLOCKS if lang == "python")


def run_sessions(sessions):
    """Runs the sessions as doctests sharing one namespace, in order; returns (examples tried, the
    failure reports). A report is collected, not printed: doctest captures the output while an
    example runs, so a printed report would become the next example's output and fail it too."""
    parser = doctest.DocTestParser()
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    namespace, reports = {}, []
    for k, (code, line) in enumerate(sessions):
        test = parser.get_doctest(code, namespace, f"README session {k + 1}", str(README), line)
        runner.run(test, out=reports.append, clear_globs=False)
        namespace = test.globs  # the next session goes on where this one stopped
    return runner.summarize(verbose=False).attempted, reports


def test_sessions(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))
    attempted, reports = run_sessions(SESSIONS)
    assert attempted > 0 and not reports, "".join(reports)


def test_a_failing_example_is_reported_once_with_its_line():
    session = ">>> x = 1\n>>> x + 1\n3\n>>> x\n1\n>>> print('fine')\nfine\n"
    attempted, reports = run_sessions([(session, 40)])
    assert attempted == 4 and len(reports) == 1
    assert f'File "{README}", line 42' in reports[0]
    assert "Failed example:\n    x + 1\nExpected:\n    3\nGot:\n    2\n" in reports[0]


@pytest.mark.parametrize("code", PROGRAMS)
def test_programs(code, tmp_path, isolated_home):
    script = tmp_path / "example.py"
    script.write_text(code)
    done = subprocess.run([sys.executable, str(script)], cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr


@pytest.mark.parametrize("text", RECORDS)
def test_record_file_reads_and_writes_back(text, tmp_path):
    text = text.rstrip("\n")
    record = json.loads(text)
    directory = tmp_path / "records"
    store = TrustStore(str(directory))
    path = directory / (hashlib.sha256(record["entity_id"].encode()).hexdigest()[:16] + ".json")
    path.write_text(text)
    e = store.get(record["entity_id"])
    shown = {k: v for k, v in record.items() if k not in ("last_action", "created_at")}
    assert e.to_dict() == shown
    path.unlink()
    store.save(e)
    assert path.read_text() == text


@pytest.mark.parametrize("transcript", CONSOLES)
def test_console_sessions(transcript, tmp_path):
    """Each "$ command" runs in bash, in a fresh home, with this interpreter's scripts first on the
    PATH; what follows it, up to the next command, is its output ("..." matches anything)."""
    env = {**os.environ, "HOME": str(tmp_path), "PATH": f"{os.path.dirname(sys.executable)}:{os.environ['PATH']}"}
    env.pop("USERPROFILE", None)
    checker = doctest.OutputChecker()
    steps = re.findall(r"^\$ (.*)\n((?:(?!\$ ).*\n)*)", transcript, flags=re.M)
    assert steps
    for command, expected in steps:
        done = subprocess.run(["bash", "-c", command], cwd=tmp_path, env=env, capture_output=True, text=True,
                              timeout=60)
        got = done.stdout + done.stderr
        if got and not got.endswith("\n"):
            got += "\n"
        assert checker.check_output(expected, got, doctest.ELLIPSIS), f"$ {command}\n{got}"
