"""The virtual test machine's runner: a command's exit status and output come back out byte for
byte, it sees only the variables it may, writes the shared folder, and a guest that outlasts
its time is stopped."""

import time

SCRIPT = """import os, sys
sys.stdout.buffer.write(bytes(range(256)) * 4096)
sys.stderr.write('to stderr\\n')
with open('facts.txt', 'w') as f:
    f.write(' '.join(str(os.environ.get(n)) for n in ('OVIK_PROBE', 'VMTEST_HIDDEN', 'OVIK_VM')))
sys.exit(7)
"""


def test_vm_status_output_environment_and_share(vm, tmp_path):
    done = vm("/usr/bin/python3", "-c", SCRIPT, timeout=180,
              env={"OVIK_PROBE": "a'b", "VMTEST_HIDDEN": "secret"})
    assert done.returncode == 7, done.stderr[-4000:]
    assert done.stdout == bytes(range(256)) * 4096 and done.stderr == b"to stderr\n"
    assert (tmp_path / "facts.txt").read_text() == "a'b None 1"


def test_vm_timeout_stops_the_guest(vm):
    began = time.monotonic()
    done = vm("sleep", "600", timeout=15)
    assert done.returncode == 124 and b"no end after 15" in done.stderr, done.stderr[-4000:]
    assert time.monotonic() - began < 45
