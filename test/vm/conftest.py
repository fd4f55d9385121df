"""Fixtures of the test machine's own checks: a way to run commands in a fresh guest, and the
reason the guest cannot start here, if any."""

import functools
import os
import subprocess
import sys
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
REPO = HERE.parents[1]
OVIK_VM = HERE / "ovik-vm"
BUILD_DIRS = ("sim", "release", "debug")


def dio_standin():
    """The built /dev/dio stand-in: $OVIK_DIO_STANDIN, else the first build tree that has it."""
    path = os.environ.get("OVIK_DIO_STANDIN")
    if path:
        return path
    for build in BUILD_DIRS:
        candidate = REPO / "build" / build / "ovikline/dio-standin"
        if candidate.is_file():
            return str(candidate)
    return ""


@functools.cache
def vm_missing():
    """Why no guest can start here (no QEMU, no prepared kernel, not root), or None."""
    if os.environ.get("OVIK_VM") == "1":
        return "already inside the test machine"
    done = subprocess.run([sys.executable, str(OVIK_VM), "status"], stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, timeout=60)
    if done.returncode == 0:
        return None
    for line in done.stdout.splitlines():
        if line.startswith("runnable: no: "):
            return line.removeprefix("runnable: no: ")
    return f"ovik-vm status: exit status {done.returncode}: {done.stdout}{done.stderr}"


class Guest:
    """Runs `ovik-vm run` with its options, bounded, sharing one host folder."""

    # Seconds one guest may take from start to end: it emulates its processor, and CI shares
    # the machine's two cores with builds.
    TIMEOUT = 180

    def __init__(self, share):
        self.share = share

    def run(self, *command, options=(), env=None, timeout=TIMEOUT):
        argv = [sys.executable, str(OVIK_VM), "run", "--timeout", str(timeout), *options,
                "--", *command]
        env = {**os.environ, "OVIK_DIO_STANDIN": dio_standin(), **(env or {})}
        return subprocess.run(argv, cwd=self.share, stdin=subprocess.DEVNULL,
                              capture_output=True, env=env, timeout=timeout + 60)


@pytest.fixture(scope="session")
def vm_available():
    reason = vm_missing()
    if reason:
        pytest.skip(reason)


@pytest.fixture
def guest(vm_available, tmp_path):
    """A guest sharing this test's temporary folder."""
    return Guest(tmp_path)


@pytest.fixture(scope="session")
def guest_sharing(vm_available):
    """Makes guests that share a given folder."""
    return Guest


def pytest_sessionfinish(session, exitstatus):
    # Under ctest a machine that cannot start a guest reports the suite as a skip, not a pass.
    skip_status = os.environ.get("OVIK_SKIP_STATUS")
    if skip_status and exitstatus == 0 and os.environ.get("OVIK_VM") != "1" and vm_missing():
        session.exitstatus = int(skip_status)
