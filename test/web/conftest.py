"""Fixtures of the dashboard and plant-records tests: those of the system tests (the programs
under test, the simulated network and its failure report), plus headless Chromium."""

import importlib.util
import os
import sys
from pathlib import Path

import pytest

SYSTEM_TESTS = Path(__file__).resolve().parents[1] / "system"
sys.path.insert(0, str(SYSTEM_TESTS.parents[1] / "ovikline"))

_spec = importlib.util.spec_from_file_location("system_conftest", SYSTEM_TESTS / "conftest.py")
_system = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(_system)

# The system tests' fixtures and hooks, as they are.
agent_program = _system.agent_program
station_program = _system.station_program
namespaces = _system.namespaces
net = _system.net
station_net = _system.station_net
pytest_configure = _system.pytest_configure
pytest_runtest_makereport = _system.pytest_runtest_makereport
pytest_sessionfinish = _system.pytest_sessionfinish

import browser  # noqa: E402  (needs ovikline on the path)


@pytest.fixture(scope="session")
def chromium():
    reason = browser.missing()
    if reason:
        pytest.skip(reason)


@pytest.fixture
def artifacts(request):
    """Where a test keeps what it produced for people to look at (screenshots):
    OVIK_WEB_ARTIFACTS, or a directory under pytest's temporary directory."""
    base = os.environ.get("OVIK_WEB_ARTIFACTS")
    path = Path(base) if base else request.getfixturevalue("tmp_path")
    path.mkdir(parents=True, exist_ok=True)
    return path
