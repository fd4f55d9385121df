"""A simulated production line of eight devices with injected faults (ovikline/line.py): the
station's verdicts, failed items, failed ports and downloads must be exactly the faults the
line description injected, in its JSON, CSV and JUnit reports and its run records."""

import csv
import io
import os
import xml.etree.ElementTree as ElementTree
from pathlib import Path

import pytest

from ovikline import line

LINES = Path(__file__).resolve().parent / "lines"
IN_VM = os.environ.get("OVIK_VM") == "1"
DISCOVER = 8


@pytest.mark.parametrize("name", ["every-fault.toml", "host-faults.toml"])
def test_line_station_reports_exactly_the_injected_faults(station_net, name):
    description = line.load(LINES / name)
    reason = line.missing(description)
    if reason:
        pytest.skip(reason)
    if IN_VM and name == "host-faults.toml":
        pytest.skip("every-fault.toml covers these faults in the test machine")
    net = station_net
    reports = {kind: net.dir / f"line.{ext}"
               for kind, ext in (("json", "json"), ("csv", "csv"), ("junit", "xml"),
                                 ("db", "db"))}
    built = line.Line(net, description)
    try:
        assert not built.wait_announced(line.burnin.READY_TIMEOUT)
        run = net.start_station(*built.station_args(DISCOVER, reports),
                                timeout=built.station_timeout(DISCOVER))
        run.wait()
    finally:
        built.stop()
    assert not run.timed_out

    want, got, differences = line.compare(description, reports["json"])
    assert not differences, "\n".join(differences)
    assert len(got) == len(description.devices) >= 8
    assert run.returncode == 1  # some devices failed
    faulty = {serial for serial, outcome in want.items()
              if outcome["verdict"] == "failed" or outcome["download"] == "failed"}

    rows = list(csv.DictReader(io.StringIO(reports["csv"].read_text())))
    assert {int(r["serial"]): (r["verdict"], r["download"]) for r in rows} == \
        {serial: (o["verdict"], o["download"]) for serial, o in want.items()}

    # JUnit: one suite per device named by its serial, failing cases exactly where the line
    # put a fault (its item or port, and the verdict).
    suites = ElementTree.parse(reports["junit"]).getroot().findall("testsuite")
    failing = {int(suite.get("name")): {case.get("name") for case in suite.findall("testcase")
                                        if case.find("failure") is not None}
               for suite in suites}
    assert failing == {serial: set(o["items"]) | {f"port {p}" for p in o["ports"]}
                       | ({"verdict"} if serial in faulty else set())
                       for serial, o in want.items()}

    # Every run is on record by serial number.
    for serial in sorted(faulty)[:2]:
        history = net.station("history", str(serial), "--db", reports["db"], timeout=30)
        assert history.returncode == 0 and str(serial) in history.stdout, history.stdout


@pytest.mark.parametrize("text, complaint", [
    ("[line]\nduration = 30\n", "no [[device]] entries"),
    ("[line]\nduration = 30\ntests = ['serial']\n[[device]]\nserial = 1\n"
     "faults = { serial-drops = 4 }\n", "serial-drops must be a serial port number 0 to 3"),
    ("[line]\nduration = 30\ntests = ['serial']\n[[device]]\nserial = 1\n"
     "faults = { modem-silent = true }\n", "needs the test 'cellular'"),
    ("[line]\nduration = 30\ntests = ['cellular']\n[[device]]\nserial = 1\n"
     "faults = { modem-silent = true }\n", "make [line] duration 50 s or more"),
    ("[line]\nduration = 30\n[[device]]\nserial = 1\nfaults = { upgrade-fails = true }\n",
     "needs a firmware file"),
    ("[line]\nduration = 30\n[[device]]\nserial = 1\n[[device]]\nserial = 1\n", "used twice"),
    ("[line]\nduration = 30\n[[device]]\nserial = 1\nfaults = { fire = true }\n",
     "unknown fault 'fire'"),
])
def test_line_description_mistakes_are_named(tmp_path, text, complaint):
    path = tmp_path / "line.toml"
    path.write_text(text)
    with pytest.raises(line.LineError) as caught:
        line.load(path)
    assert complaint in str(caught.value) and str(path) in str(caught.value)
