import os
import subprocess
import sys
import textwrap

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


@pytest.fixture
def store(tmp_path):
    return velk_trust.TrustStore(str(tmp_path / "records"))


@pytest.fixture
def records_dir(tmp_path):
    return tmp_path / "records"


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
