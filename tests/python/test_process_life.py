"""The store through a process's whole life: failing system calls, full disks, huge files, memory
and descriptor limits, fork at any moment and daemon threads at exit. Real processes, real files."""
import os
import subprocess
import sys
import sysconfig

import pytest

from velk_trust import TrustStore
from conftest import run_python
from fault_matrix import CALLS

HERE = os.path.dirname(os.path.abspath(__file__))


@pytest.fixture(scope="session")
def fault_library(tmp_path_factory):
    """The preloadable library that fails chosen system calls of the module, built for this run."""
    out = tmp_path_factory.mktemp("faults") / "syscall_faults.so"
    cc = sysconfig.get_config_var("CC").split()[0] or "cc"
    subprocess.run([cc, "-shared", "-fPIC", "-O1", "-o", str(out), os.path.join(HERE, "native", "syscall_faults.c"),
                    "-ldl"], check=True)
    return out


class TestFailingSystemCalls:
    @pytest.mark.parametrize("call", sorted(CALLS))
    def test_each_step_fails_cleanly(self, fault_library, tmp_path, call):
        env = {**os.environ, "LD_PRELOAD": str(fault_library)}
        proc = subprocess.run([sys.executable, os.path.join(HERE, "fault_matrix.py"), call, str(tmp_path)],
                              env=env, capture_output=True, text=True, timeout=300)
        assert proc.returncode == 0, proc.stderr
        assert proc.stdout == "", proc.stdout
