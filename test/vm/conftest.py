"""The virtual test machine's runner, `ovikline vm`, for the checks of the machine itself; they
skip, and ctest reports a skip, where no guest can start (no QEMU, no prepared kernel, not
root)."""

import functools
import os
import subprocess
from pathlib import Path

import pytest

OVIKLINE = Path(__file__).resolve().parents[2] / "ovikline" / "bin" / "ovikline"


@functools.cache
def vm_missing():
    """Why no guest can start here, or None."""
    if os.environ.get("OVIK_VM") == "1":
        return "already inside the test machine"
    done = subprocess.run([OVIKLINE, "vm", "status"], stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, timeout=60)
    return None if done.returncode == 0 else f"ovikline vm status: {done.stdout}{done.stderr}"


@pytest.fixture
def vm(tmp_path):
    """Runs a command in a fresh guest that shares the test's temporary folder."""
    if vm_missing():
        pytest.skip(vm_missing())

    def run(*command, timeout, env=None):
        return subprocess.run([OVIKLINE, "vm", "run", "--timeout", str(timeout), "--", *command],
                              cwd=tmp_path, stdin=subprocess.DEVNULL, capture_output=True,
                              env={**os.environ, **(env or {})}, timeout=timeout + 60)
    return run


def pytest_sessionfinish(session, exitstatus):
    skip_status = os.environ.get("OVIK_SKIP_STATUS")
    if skip_status and exitstatus == 0 and vm_missing():
        session.exitstatus = int(skip_status)
