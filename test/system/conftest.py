"""Fixtures of the system tests: the programs under test, the simulated network, and the
failure report that shows each simulated device's console, error log and command log."""

import os
import signal
import sys
from pathlib import Path

import pytest

# The line simulator, from this source tree.
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "ovikline"))

from ovikline import netns  # noqa: E402
from ovikline.network import Network, built_program as _program  # noqa: E402


def _interrupted(signum, frame):
    raise KeyboardInterrupt(f"signal {signum}")


def pytest_configure(config):
    # A terminated run still tears its namespaces and processes down.
    signal.signal(signal.SIGTERM, _interrupted)
    signal.signal(signal.SIGHUP, _interrupted)


def _required_program(what, variable, relative):
    path = _program(variable, relative)
    if not path or not os.access(path, os.X_OK):
        pytest.skip(f"{what} program not built (set {variable}): {path}")
    return path


@pytest.fixture(scope="session")
def agent_program():
    return _required_program("agent", "OVIK_AGENT", "src/main/ovikburn")


@pytest.fixture(scope="session")
def station_program():
    return _required_program("station", "OVIK_STATION", "src/station/ovikstation")


@pytest.fixture(scope="session")
def namespaces():
    reason = netns.missing_facilities()
    if reason:
        pytest.skip(reason)


@pytest.fixture
def net(request, namespaces, agent_program):
    """A fresh simulated network; devices are added by the test."""
    with Network(agent=agent_program,
                 station=_program("OVIK_STATION", "src/station/ovikstation")) as network:
        request.node.simnet = network
        yield network
        findings = network.sanitizer_reports()
    if findings:
        pytest.fail("sanitizer reports:\n" + "\n\n".join(findings), pytrace=False)


@pytest.fixture
def station_net(net, station_program):
    """The simulated network, for tests that also drive the station program."""
    net.station_program = station_program
    return net


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    network = getattr(item, "simnet", None)
    if report.failed and network is not None and report.when in ("setup", "call"):
        report.sections.append(("simulated network", network.dump()))


def pytest_sessionfinish(session, exitstatus):
    # Under ctest a run in which every test skipped is reported as a skip, not as a pass.
    skip_status = os.environ.get("OVIK_SKIP_STATUS")
    reporter = session.config.pluginmanager.get_plugin("terminalreporter")
    if not skip_status or reporter is None or exitstatus != 0:
        return
    stats = reporter.stats
    if stats.get("skipped") and not any(stats.get(k) for k in ("passed", "failed", "error")):
        session.exitstatus = int(skip_status)
