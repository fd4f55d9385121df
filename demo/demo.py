"""A guided burn-in on a simulated factory network.

Two simulated devices run the real ovikburn agent, each in network and mount namespaces of its
own; the test PC is a third namespace where ovikstation runs. The device image's tools
(fw_printenv, fw_setenv, the LED scripts, the upgrade script) are small stand-ins that write
down every call, so the demo can show what the agent did on each device.
"""

import argparse
import os
import shlex
import signal
import sys
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "test" / "system"))

from simnet import burnin, netns  # noqa: E402
from simnet.network import Network  # noqa: E402

DEFAULT_AGENT = REPO / "build/release/src/main/ovikburn"
DEFAULT_STATION = REPO / "build/release/src/station/ovikstation"
DEVICES = (("TB0101", "0"), ("TB0102", "0"))
UPGRADE_OUTPUT = ["mp_upgrade: fetching {name} from the TFTP server",
                  "mp_upgrade: received 4096 KiB",
                  "mp_upgrade: checking the image",
                  "mp_upgrade: writing the image to flash",
                  "mp_upgrade: done"]
STATION_SLACK = 90  # seconds beyond discovery and burn-in before the demo gives up
# Inside the virtual test machine the devices get its real hardware clock.
REAL_CLOCK = os.environ.get("OVIK_VM") == "1" and os.path.exists("/dev/rtc0")


def say(text=""):
    print(text, flush=True)


def step(title, explanation):
    say()
    say(f"==> {title}")
    for line in explanation.strip().splitlines():
        say(f"    {line.strip()}")


def show(label, text):
    for line in text.rstrip("\n").splitlines():
        say(f"    {label} | {line}")


def follow_station(run, timeout):
    """Copies the station's output to the terminal while it runs; bounded by timeout."""
    shown = 0
    deadline = time.monotonic() + timeout
    while True:
        finished = run.process.poll() is not None
        out = run.stdout
        if len(out) > shown:
            complete = out.rfind("\n", shown) + 1
            if complete > shown:
                show("station", out[shown:complete])
                shown = complete
        if finished:
            if out[shown:].strip():
                show("station", out[shown:])
            break
        if time.monotonic() > deadline:
            say("    the station did not finish in time; stopping it")
            break
        time.sleep(0.2)
    run.wait(timeout=1)
    err = run.stderr.strip()
    if err:
        show("station stderr", err)
    return run.returncode


def start_devices(net, download):
    duts = []
    for serial_text, flags in DEVICES:
        dut = net.add_dut(bootenv={"serialnumber": serial_text, "mm_flags": flags},
                          config=burnin.config(download=download))
        dut.script_upgrade([line.format(name="fw-1.2.bin") for line in UPGRADE_OUTPUT],
                           delay=0.5)
        dut.start("-e", rtc=REAL_CLOCK)
        duts.append(dut)
    for dut in duts:
        if not dut.wait_console("<<Send ALIVE message", 10.0 * burnin.SLOW):
            say(f"    {dut.name} did not come up; what it printed:")
            show(dut.name, dut.console() + dut.stderr())
            raise SystemExit(1)
        env = dut.bootenv()
        say(f"    {dut.name}: serialnumber={env['serialnumber']} -> eth0 {dut.address}, "
            f"mm_flags={env['mm_flags']}")
    return duts


def report_devices(duts):
    for dut in duts:
        dut.wait_command("/bin/PassLED.sh", 5.0 * burnin.SLOW) or dut.wait_command(
            "/bin/FailLED.sh", 1.0)
        console = dut.console()
        verdict = ("Burning OK." if "Burning OK." in console
                   else "Burning fail !" if "Burning fail !" in console else "(no verdict yet)")
        leds = [c for c in dut.command_lines() if c.endswith("LED.sh")]
        writes = [c for c in dut.command_lines() if c.startswith("fw_setenv")]
        upgrades = [shlex.join(a) for a in dut.commands() if a[0].endswith("mp_upgrade.sh")]
        say(f"    {dut.name} (eth0 {dut.address}):")
        say(f"      console verdict : {verdict}")
        say(f"      LED script run  : {', '.join(leds) or 'none'}")
        say(f"      boot-loader     : {', '.join(writes) or 'nothing written'}"
            f" -> mm_flags={dut.bootenv().get('mm_flags')}")
        if upgrades:
            say(f"      upgrade script  : {', '.join(upgrades)}")
            say("      its output, as the agent printed it:")
            for line in console.splitlines():
                if line.startswith(" - "):
                    say(f"        {line}")


def burn_in(args, agent, station, download):
    with Network(agent=agent, station=station) as net:
        step("Building the factory network",
             f"""A PC namespace with a bridge at 192.180.0.1/16 and two devices cabled to it
             (files of this run: {net.dir}).
             Each device starts the agent as the production image does, with -e: it reads
             its serial number with fw_printenv, gives eth0 192.180.T.F from it, loads
             /dev/shm/cfg_ovikburn and announces itself on UDP port 1032 every 3 seconds.""")
        if download:
            say("    This time the configuration says DownloadFWR = y: after a passed run the")
            say("    station will have each device install a firmware file.")
        duts = start_devices(net, download)

        database = net.dir / "station.db"
        station_args = ["run", "--discover", str(args.discover), "--duration",
                        str(args.duration)]
        if download:
            station_args += ["--firmware", "fw-1.2.bin"]
        step("Running the burn-in from the test PC",
             f"""ovikstation {' '.join(station_args)}
             The station listens {args.discover} s for announcements, then takes every device
             it heard through polling, query, set parameter and start. The devices test
             themselves for {args.duration} s and report their status about once a second; then
             the station sends stop and receives each verdict.""")
        if REAL_CLOCK:
            say("    The devices run in the virtual test machine with a real hardware clock: the")
            say("    start command sets it from the PC's clock, hwclock -s sets the system clock")
            say("    from it, and the burn time counts real seconds.")
        else:
            say("    Without the virtual test machine the devices have no hardware clock: each")
            say("    answers the start about 4 s late (it tries to set the clock twice) and its")
            say("    burn time stays 0:00:00.")
        if download:
            say("    After the stop it sends the download command; each device runs")
            say("    /usr/sbin/mp_upgrade.sh and reports the progress up to 100 %.")
        timeout = args.discover + args.duration + STATION_SLACK
        run = net.start_station(*station_args, "--db", database, timeout=timeout)
        status = follow_station(run, timeout)
        meaning = {0: "every device passed", 1: "at least one device failed",
                   2: "no device was found"}.get(status, "the station did not finish")
        say(f"    station exit status {status}: {meaning}")

        step("What each device did at the end of its run",
             """A passed device prints "Burning OK.", writes the EOT flag (64) into mm_flags
             with fw_setenv and lights the pass LED; a failed one prints "Burning fail !" and
             runs the fail LED script.""")
        report_devices(duts)

        step("The run record on the test PC",
             """The station keeps every run of every device by serial number in its database;
             ovikstation history SERIAL shows a device's runs.""")
        history = net.station("history", "101", "--db", database, timeout=30)
        show("station", history.stdout)
        return status


def main():
    parser = argparse.ArgumentParser(description=__doc__.strip().splitlines()[0])
    parser.add_argument("--duration", type=int, default=20, help="burn-in seconds (20)")
    parser.add_argument("--discover", type=int, default=8, help="discovery seconds (8)")
    args = parser.parse_args()

    agent = os.environ.get("OVIK_AGENT", str(DEFAULT_AGENT))
    station = os.environ.get("OVIK_STATION", str(DEFAULT_STATION))
    for name, path in (("agent", agent), ("station", station)):
        if not os.access(path, os.X_OK):
            say(f"The {name} program {path} is not built. Build it with")
            say("    cmake --preset release && cmake --build --preset release -j2")
            say("or name it with OVIK_AGENT / OVIK_STATION.")
            return 2
    reason = netns.missing_facilities()
    if reason:
        say(f"This demo cannot run here: {reason}.")
        return 2

    def interrupted(signum, frame):
        raise KeyboardInterrupt
    signal.signal(signal.SIGTERM, interrupted)

    say("ovikburn demo: a burn-in of two devices, then a burn-in with a firmware download.")
    try:
        first = burn_in(args, agent, station, download=False)
        step("Second run: fresh devices, with a firmware download",
             """The first devices have finished for good (an agent serves one run per start),
             so the demo cables two new ones and starts their agents again.""")
        second = burn_in(args, agent, station, download=True)
    except KeyboardInterrupt:
        say("\ninterrupted; the simulated network has been taken down")
        return 130
    step("Done", "Both networks, their devices and their files have been removed again.")
    return 0 if first == 0 and second == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
