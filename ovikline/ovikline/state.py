"""Where a line keeps its state while it is up, so that `ovikline down` finds everything it
made, also after the process that made it was killed:

    /run/ovikline/NAME/holder    the process that holds the line: "PID STARTTIME"
    /run/ovikline/NAME/ledger    what it made, one line each, written before it is made:
                                     namespace NAME        a network namespace (/run/netns)
                                     process PID STARTTIME a process outside the namespaces
                                     files PATH            the devices' directory

Lines are independent: each name is claimed by one process at a time, and every namespace
name carries that process's id. A process is known by its id and its start time, so an id
that the system has given to another process since is never signalled.
"""

import os
import shutil
import signal
import time
from pathlib import Path

from . import netns
from .network import KEPT_MARK

ROOT = Path("/run/ovikline")
HOLDER = "holder"
LEDGER = "ledger"
STOP_GRACE = 2.0


class LineBusy(RuntimeError):
    """The name is held by a running process; the text says which and what to do."""


def start_time(pid):
    """The process's start time (clock ticks after boot), or None when it has ended."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except (FileNotFoundError, ProcessLookupError, IndexError):
        return None
    return None if fields[0] == "Z" else int(fields[19])


def _same_process(pid, started):
    return start_time(pid) == started


def names():
    """The names of every line that has state here."""
    return sorted(p.name for p in ROOT.iterdir() if p.is_dir()) if ROOT.is_dir() else []


class LineState:
    def __init__(self, name):
        self.name = name
        self.dir = ROOT / name

    def exists(self):
        return self.dir.is_dir()

    def holder(self):
        """The id of the running process that holds the line, or None."""
        try:
            pid, started = (int(v) for v in (self.dir / HOLDER).read_text().split())
        except (OSError, ValueError):
            return None
        return pid if _same_process(pid, started) else None

    def claim(self):
        """Makes this process the line's holder; state a killed holder left is cleaned first."""
        ROOT.mkdir(parents=True, exist_ok=True)
        try:
            self.dir.mkdir()
        except FileExistsError:
            pid = self.holder()
            if pid is not None:
                raise LineBusy(f"line {self.name} is already up (process {pid}): take it down "
                               f"with `ovikline down {self.name}`, or give this one another "
                               "name with --name") from None
            self.clean()
            self.dir.mkdir()
        (self.dir / HOLDER).write_text(f"{os.getpid()} {start_time(os.getpid())}\n")

    def record(self, kind, *values):
        with open(self.dir / LEDGER, "a") as f:
            f.write(" ".join([kind, *map(str, values)]) + "\n")

    def record_process(self, pid):
        self.record("process", pid, start_time(pid))

    def entries(self):
        """The ledger as (kind, values) pairs, in the order they were made."""
        try:
            lines = (self.dir / LEDGER).read_text().splitlines()
        except FileNotFoundError:
            return []
        return [(line.split()[0], line.split()[1:]) for line in lines if line.split()]

    def clean(self):
        """Removes everything the ledger names that still exists, then the state itself."""
        entries = self.entries()
        for kind, values in entries:
            if kind == "process" and len(values) == 2 and values[1] != "None":
                _kill(int(values[0]), int(values[1]))
        for kind, values in reversed(entries):
            if kind == "namespace":
                netns.delete(values[0])
        for kind, values in entries:
            files = Path(values[0]) if kind == "files" else None
            if files and files.is_dir() and not (files / KEPT_MARK).exists():
                shutil.rmtree(files, ignore_errors=True)
        shutil.rmtree(self.dir, ignore_errors=True)

    def stop_holder(self, timeout):
        """Asks the holder to take its line down (SIGTERM) and waits for it to end; kills it
        when it has not ended within timeout seconds. False when there was no holder."""
        pid = self.holder()
        if pid is None:
            return False
        started = start_time(pid)
        os.kill(pid, signal.SIGTERM)
        if not netns.wait_for(lambda: not _same_process(pid, started), timeout, interval=0.1):
            _kill(pid, started)
        return True


def _kill(pid, started):
    """SIGKILL to the process and, when it leads one, its process group."""
    if not _same_process(pid, started):
        return
    try:
        if os.getpgid(pid) == pid:
            os.killpg(pid, signal.SIGKILL)
        else:
            os.kill(pid, signal.SIGKILL)
    except ProcessLookupError:
        return
    deadline = time.monotonic() + STOP_GRACE
    while _same_process(pid, started) and time.monotonic() < deadline:
        time.sleep(0.02)
