"""What a source build tells the person running it."""
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]


def older_python():
    for name in ("python3.11", "python3.10", "python3.9", "python3"):
        path = shutil.which(name)
        if path:
            version = subprocess.run([path, "-c", "import sys; print(sys.version_info[:2] < (3, 12))"],
                                     capture_output=True, text=True).stdout.strip()
            if version == "True":
                return path
    return None


def test_configuring_with_an_older_python_stops_at_once(tmp_path):
    python = older_python()
    cmake = shutil.which("cmake", path=str(pathlib.Path(sys.executable).parent)) or shutil.which("cmake")
    if python is None or cmake is None:
        pytest.skip("needs CMake and a Python older than 3.12")
    # Without the sanitizer run's preloaded runtime, which would fail CMake's compiler check.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    done = subprocess.run([cmake, "-S", str(ROOT), "-B", str(tmp_path), f"-DPython3_EXECUTABLE={python}"],
                          capture_output=True, text=True, timeout=120, env=env)
    assert done.returncode != 0
    message = " ".join(done.stderr.split())
    assert "velk_trust needs CPython 3.12 or newer to build; found Python 3." in message
    assert not (tmp_path / "Makefile").exists() and not (tmp_path / "build.ninja").exists()


def test_the_version_is_stated_once():
    """CMakeLists.txt's project() states it; the package metadata, the module and the README follow."""
    import importlib.metadata
    import re

    import velk_trust

    version = re.search(r"project\(velk_trust VERSION ([0-9.]+)", (ROOT / "CMakeLists.txt").read_text()).group(1)
    assert importlib.metadata.version("velk-trust") == velk_trust.__version__ == version
    readme = (ROOT / "README.md").read_text()
    stated = set(re.findall(r"velk_trust-([0-9][0-9.]*[0-9])-", readme)) | set(
        re.findall(r"`velk_trust.__version__` is `\"([0-9.]+)\"`", readme))
    assert stated == {version}, "README.md states another version"
