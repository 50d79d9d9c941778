import os
import subprocess
import sys
import sysconfig
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


@pytest.fixture(scope="session")
def fault_library(tmp_path_factory):
    """The preloadable library that fails chosen system calls of the module (native/), built for this run."""
    out = tmp_path_factory.mktemp("faults") / "syscall_faults.so"
    source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "native", "syscall_faults.c")
    subprocess.run([sysconfig.get_config_var("CC").split()[0] or "cc", "-shared", "-fPIC", "-O1", "-o", str(out),
                    source, "-ldl"], check=True, env=without_sanitizer())
    return out


def with_fault_library(fault_library, **values):
    """The environment of a child process that runs with the fault library preloaded. Under the
    sanitizer run it goes before the sanitizer's runtime, so that it sees the module's calls first."""
    env = {**os.environ, **values}
    preloaded = env.get("LD_PRELOAD", "")
    env["LD_PRELOAD"] = f"{fault_library} {preloaded}".strip()
    if "libasan" in preloaded:
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"
    return env


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
