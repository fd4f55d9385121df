"""Digital I/O boards of simulated devices, in the virtual test machine: a dio-standin (CUSE)
serves /dev/dio-NAME in the machine, which the device sees as /dev/dio
(Dut.start(dio=standin.name)). Outputs are wired to inputs; single input lines can be held
stuck high or low.

    reason = dio.missing()                        # None where CUSE and the stand-in exist
    standin = dio.Standin(dio.program(), dut, ("--high", "2"))
"""

import os
import select
import subprocess

from . import burnin
from .network import built_program

READY_TIMEOUT = 20.0 * burnin.SLOW
STOP_TIMEOUT = 10.0


def program():
    """The dio-standin program: $OVIK_DIO_STANDIN, else a built one, else None."""
    return built_program("OVIK_DIO_STANDIN", "ovikline/dio-standin")


def missing():
    """Why digital I/O boards cannot be simulated here, or None."""
    if os.environ.get("OVIK_VM") != "1" or not os.path.exists("/dev/cuse"):
        return "needs CUSE for /dev/dio: runs in the virtual test machine (ovikline vm)"
    found = program()
    if not found or not os.access(found, os.X_OK):
        return f"dio-standin not built (set OVIK_DIO_STANDIN): {found}"
    return None


class Standin:
    """A dio-standin for dut; its requests go to the device's fixture-dio.log, so a failing
    test shows them with the device."""

    def __init__(self, path, dut, holds=()):
        self.name = f"dio-{dut.netns}"
        self.log = dut.dir / "fixture-dio.log"
        self.process = subprocess.Popen([path, "--name", self.name, "--log", str(self.log),
                                         *holds],
                                        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, text=True)
        dut.network.track(self.process.pid)
        readable, _, _ = select.select([self.process.stdout], [], [], READY_TIMEOUT)
        said = self.process.stdout.readline() if readable else "(nothing)"
        if said != f"dio-standin: /dev/{self.name} ready\n":
            self.stop()
            raise RuntimeError(f"dio-standin said {said!r}: {self.process.stderr.read()}")

    def requests(self):
        lines = self.log.read_text().splitlines() if self.log.exists() else []
        return [line for line in lines if line.startswith(("set ", "get "))]

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=STOP_TIMEOUT)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(timeout=STOP_TIMEOUT)
        self.process.stdout.close()
        self.process.stderr.close()
