"""A private PostgreSQL server for the plant-records tests: a fresh cluster in a temporary
directory, run as an unprivileged user, listening on 127.0.0.1 of the given network namespace
on a port that is free there. Nothing of it outlives close(); a server left running by a
killed test dies with its namespace.

    with contextlib.closing(PrivateServer(net.pc_netns)) as pg:
        url = pg.url("plant")
"""

import contextlib
import glob
import os
import pwd
import shutil
import signal
import socket
import subprocess
import tempfile
from pathlib import Path

from ovikline import netns

USER = "ovik"  # the cluster's superuser, trusted on loopback
START_TIMEOUT = 30.0
STOP_TIMEOUT = 10.0
COMMAND_TIMEOUT = 30
READY = "database system is ready to accept connections"


def binaries():
    """The newest installed PostgreSQL's programs directory, or None."""
    found = sorted(glob.glob("/usr/lib/postgresql/*/bin/postgres"),
                   key=lambda p: int(Path(p).parts[-3]) if Path(p).parts[-3].isdigit() else 0)
    return Path(found[-1]).parent if found else None


def missing():
    """Why no private server can run here, or None."""
    if binaries() is None:
        return "PostgreSQL is not installed (Debian package postgresql)"
    try:
        pwd.getpwnam("postgres")
    except KeyError:
        return "no unprivileged user postgres to run the server as"
    return None


class PrivateServer:
    def __init__(self, namespace):
        self.namespace = namespace
        self.bin = binaries()
        self.account = pwd.getpwnam("postgres")
        self.dir = None
        self.port = None
        self.process = None
        try:
            self._start()
        except BaseException:
            self.close()
            raise

    def _as_server_user(self):
        return ["setpriv", f"--reuid={self.account.pw_uid}", f"--regid={self.account.pw_gid}",
                "--clear-groups", "--"]

    def _in_namespace(self):
        return ["ip", "netns", "exec", self.namespace]

    def _run(self, argv):
        done = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                              timeout=COMMAND_TIMEOUT, env=self._env())
        if done.returncode != 0:
            raise RuntimeError(f"{' '.join(argv)}: exit status {done.returncode}:\n"
                               f"{done.stdout}{done.stderr}")
        return done.stdout

    def _env(self):
        return {"PATH": "/usr/bin:/bin", "LANG": "C", "HOME": str(self.dir)}

    def _free_port(self):
        with netns.socket_in(self.namespace, socket.SOCK_STREAM) as s:
            s.bind(("127.0.0.1", 0))
            return s.getsockname()[1]

    def _start(self):
        self.dir = Path(tempfile.mkdtemp(prefix="ovkpg-"))
        os.chown(self.dir, self.account.pw_uid, self.account.pw_gid)
        data = self.dir / "data"
        self._run([*self._as_server_user(), str(self.bin / "initdb"), "-D", str(data),
                   "-U", USER, "--auth=trust", "--encoding=UTF8", "--locale=C", "--no-sync"])
        self.port = self._free_port()
        self.log_path = self.dir / "server.log"
        argv = ["setpriv", "--pdeathsig", "KILL", *self._in_namespace(), *self._as_server_user(),
                str(self.bin / "postgres"), "-D", str(data), "-p", str(self.port),
                "-k", str(self.dir), "-c", "listen_addresses=127.0.0.1", "-c", "fsync=off",
                "-c", "full_page_writes=off"]
        with open(self.log_path, "wb") as log:
            self.process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=log,
                                            stderr=subprocess.STDOUT, env=self._env(),
                                            start_new_session=True)
        if not netns.wait_for(lambda: READY in self.log() or self.process.poll() is not None,
                              START_TIMEOUT) or self.process.poll() is not None:
            raise RuntimeError(f"the PostgreSQL server did not start:\n{self.log()}")

    def log(self):
        try:
            return self.log_path.read_text(errors="replace")
        except (AttributeError, FileNotFoundError):
            return ""

    def signal(self, number):
        """Sends a signal to every process of the server: each of its children is a session
        of its own, out of reach of the postmaster's process group."""
        pids = [self.process.pid]
        children = Path(f"/proc/{self.process.pid}/task/{self.process.pid}/children")
        pids += [int(pid) for pid in children.read_text().split()]
        for pid in pids:
            with contextlib.suppress(ProcessLookupError):
                os.kill(pid, number)

    def url(self, database):
        return f"postgresql://{USER}@127.0.0.1:{self.port}/{database}"

    def create_database(self, name):
        self._run([*self._in_namespace(), str(self.bin / "createdb"), "-h", "127.0.0.1",
                   "-p", str(self.port), "-U", USER, name])

    def query(self, database, sql):
        """Rows of sql as lists of text fields."""
        out = self._run([*self._in_namespace(), str(self.bin / "psql"), "-h", "127.0.0.1",
                         "-p", str(self.port), "-U", USER, "-d", database, "-X", "-A", "-t",
                         "-F", "\t", "-v", "ON_ERROR_STOP=1", "-c", sql])
        return [line.split("\t") for line in out.splitlines() if line]

    def close(self):
        if self.process is not None and self.process.poll() is None:
            # SIGINT: the fast shutdown; what is left after the grace time is killed.
            self.process.send_signal(signal.SIGINT)
            try:
                self.process.wait(timeout=STOP_TIMEOUT)
            except subprocess.TimeoutExpired:
                os.killpg(self.process.pid, signal.SIGKILL)
                self.process.wait(timeout=STOP_TIMEOUT)
        self.process = None
        if self.dir is not None:
            shutil.rmtree(self.dir, ignore_errors=True)
            self.dir = None
