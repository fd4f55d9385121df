"""Checks of the test machine (ovik-vm): what a command run in it gets back out, and, from one
guest running guest_checks.py, each driver the system tests rely on."""

import ast
import time
import xml.etree.ElementTree as ET
from pathlib import Path

import pytest

GUEST_CHECKS = Path(__file__).resolve().with_name("guest_checks.py")


def shown(done):
    return (f"exit status {done.returncode}\n--- stdout ---\n"
            f"{done.stdout.decode(errors='replace')[-4000:]}\n--- stderr ---\n"
            f"{done.stderr.decode(errors='replace')[-4000:]}")


@pytest.mark.parametrize("command, status", [
    (["true"], 0),
    (["false"], 1),
], ids=["true", "false"])
def test_vm_exit_status(guest, command, status):
    done = guest.run(*command)
    assert done.returncode == status, shown(done)
    assert done.stdout == b"" and done.stderr == b"", shown(done)


def test_vm_output_environment_and_share(guest, tmp_path):
    """Output comes back byte for byte and apart; the command starts in the same folder, with
    the variables it may see, and writes the shared folder."""
    script = (
        "import os, sys\n"
        "sys.stdout.buffer.write(bytes(range(256)) * 4096)\n"
        "sys.stdout.buffer.write(b'end of output\\n')\n"
        "sys.stderr.write('to stderr\\n')\n"
        "with open('facts.txt', 'w') as f:\n"
        "    for name in ('OVIK_PROBE', 'VMTEST_HIDDEN', 'OVIK_VM', 'HOME'):\n"
        "        f.write(f'{name}={os.environ.get(name)}\\n')\n"
        "    f.write(f'cwd={os.getcwd()}\\n')\n"
        "    f.write(f'uid={os.getuid()}\\n')\n"
        "sys.exit(7)\n")
    done = guest.run("/usr/bin/python3", "-c", script,
                     env={"OVIK_PROBE": "a b'c", "VMTEST_HIDDEN": "secret"})
    assert done.returncode == 7, shown(done)
    assert done.stdout == bytes(range(256)) * 4096 + b"end of output\n", \
        f"{len(done.stdout)} bytes: {done.stdout[-60:]!r}"
    assert done.stderr == b"to stderr\n", shown(done)
    facts = (tmp_path / "facts.txt").read_text().splitlines()
    assert facts == ["OVIK_PROBE=a b'c", "VMTEST_HIDDEN=None", "OVIK_VM=1", "HOME=/root",
                     f"cwd={tmp_path}", "uid=0"]


def test_vm_timeout_stops_guest(guest):
    began = time.monotonic()
    done = guest.run("sleep", "600", timeout=15)
    elapsed = time.monotonic() - began
    assert done.returncode == 124, shown(done)
    assert b"no end after 15" in done.stderr, shown(done)
    assert elapsed < 45, f"stopped after {elapsed:.1f} s"


# --- drivers, checked inside one guest --------------------------------------------------------


def guest_check_names():
    tree = ast.parse(GUEST_CHECKS.read_text())
    return [node.name for node in tree.body
            if isinstance(node, ast.FunctionDef) and node.name.startswith("test_guest_")]


@pytest.fixture(scope="session")
def guest_results(guest_sharing, tmp_path_factory):
    """Runs guest_checks.py in one guest; maps each test case's name to (outcome, message)."""
    share = tmp_path_factory.mktemp("guest")
    report = share / "guest.xml"
    guest = guest_sharing(share)
    done = guest.run(
        "/usr/bin/python3", "-B", "-m", "pytest", "-q", "-p", "no:cacheprovider", "-rfEs",
        f"--junitxml={report}", "--basetemp", str(share / "pytest"), str(GUEST_CHECKS),
        timeout=guest.TIMEOUT * 2)
    results = {}
    if report.is_file():
        for case in ET.parse(report).getroot().iter("testcase"):
            outcome, message = "passed", ""
            for child in case:
                if child.tag in ("failure", "error", "skipped"):
                    outcome = child.tag
                    message = f"{child.get('message', '')}\n{child.text or ''}"
            results[case.get("name")] = (outcome, message)
    return results, done


@pytest.mark.parametrize("check", guest_check_names(),
                         ids=lambda name: name.removeprefix("test_guest_"))
def test_vm_driver(guest_results, check):
    results, done = guest_results
    cases = {name: r for name, r in results.items()
             if name == check or name.startswith(check + "[")}
    assert cases, f"{check} did not run in the guest\n{shown(done)}"
    failed = {name: message for name, (outcome, message) in cases.items()
              if outcome in ("failure", "error")}
    assert not failed, "\n".join(f"{name}: {message}" for name, message in failed.items())
    if all(outcome == "skipped" for outcome, _ in cases.values()):
        pytest.skip(next(iter(cases.values()))[1].strip().splitlines()[0])
