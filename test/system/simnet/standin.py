"""Stand-ins for the device image's tools, run inside a simulated device.

Each tool is a tiny per-device script that calls main() with the device's directory. Every
call appends its whole argument vector as one JSON line to the device's command log, so a
test sees exactly which programs ran with which argument boundaries. Behaviour by name:

  fw_printenv [-n] [NAME...]  prints the boot-loader environment file as name=value lines
  fw_setenv NAME [VALUE...]   sets NAME (values joined by blanks) or, without a value, removes it
  mp_upgrade.sh               prints the lines scripted in upgrade.json, one every `delay`
                              seconds, then exits with the scripted `status`
  hwclock                     on a device with a real clock: hands over to the real one
  anything else               only records
"""

import json
import os
import sys
import time

COMMAND_LOG = "commands.log"
BOOTENV = "bootenv"
UPGRADE_SCRIPT = "upgrade.json"
REAL_SBIN = "/dev/.host-sbin"  # where the launcher keeps the real tools of a device with drivers

# Tools found through PATH; each gets a stand-in in both /usr/bin and /usr/sbin so that the
# real one is never reached, whatever directory the agent's PATH names first.
PATH_TOOLS = ("fw_printenv", "fw_setenv", "hwclock", "phytool", "ethtool", "mii-tool",
              "setinterface", "iw", "iwconfig", "hostapd", "eltt2", "reboot", "poweroff",
              "halt", "shutdown", "id")
# Tools the agent names by full path: (directory under /usr, name).
PATH_SCRIPTS = (("bin", "PassLED.sh"), ("bin", "FailLED.sh"), ("sbin", "mp_upgrade.sh"))


def read_env(path):
    env = {}
    try:
        with open(path) as f:
            for line in f:
                line = line.rstrip("\n")
                if "=" in line:
                    name, value = line.split("=", 1)
                    env[name] = value
    except FileNotFoundError:
        pass
    return env


def write_env(path, env):
    tmp = f"{path}.new"
    with open(tmp, "w") as f:
        for name, value in env.items():
            f.write(f"{name}={value}\n")
    os.replace(tmp, path)


def record(dut_dir, argv):
    line = json.dumps({"argv": argv, "t": round(time.time(), 3)}) + "\n"
    fd = os.open(os.path.join(dut_dir, COMMAND_LOG), os.O_WRONLY | os.O_APPEND | os.O_CREAT,
                 0o644)
    try:
        os.write(fd, line.encode())
    finally:
        os.close(fd)


def fw_printenv(dut_dir, args):
    env = read_env(os.path.join(dut_dir, BOOTENV))
    value_only = bool(args) and args[0] == "-n"
    names = args[1:] if value_only else args
    if not names:
        for name, value in env.items():
            print(f"{name}={value}")
        return 0
    status = 0
    for name in names:
        if name in env:
            print(env[name] if value_only else f"{name}={env[name]}")
        else:
            print(f'## Error: "{name}" not defined', file=sys.stderr)
            status = 1
    return status


def fw_setenv(dut_dir, args):
    if not args:
        print("Usage: fw_setenv NAME [VALUE]", file=sys.stderr)
        return 1
    path = os.path.join(dut_dir, BOOTENV)
    env = read_env(path)
    if len(args) == 1:
        env.pop(args[0], None)
    else:
        env[args[0]] = " ".join(args[1:])
    write_env(path, env)
    return 0


def mp_upgrade(dut_dir, args):
    try:
        with open(os.path.join(dut_dir, UPGRADE_SCRIPT)) as f:
            script = json.load(f)
    except FileNotFoundError:
        script = {}
    delay = float(script.get("delay", 0))
    for i, line in enumerate(script.get("lines", [])):
        if i and delay:
            time.sleep(delay)
        sys.stdout.write(line + "\n")
        sys.stdout.flush()
    return int(script.get("status", 0))


def main(dut_dir):
    record(dut_dir, sys.argv)
    name = os.path.basename(sys.argv[0])
    args = sys.argv[1:]
    if name == "fw_printenv":
        return fw_printenv(dut_dir, args)
    if name == "fw_setenv":
        return fw_setenv(dut_dir, args)
    if name == "mp_upgrade.sh":
        return mp_upgrade(dut_dir, args)
    real = os.path.join(REAL_SBIN, name)
    if name == "hwclock" and os.path.exists("/dev/rtc0") and os.path.exists(real):
        os.execv(real, [real, *args])
    return 0


def install(dut_dir, stub_root, package_parent):
    """Writes the stand-ins of one device into stub_root/bin and stub_root/sbin."""
    body = ("#!/usr/bin/python3 -IB\n"
            "import sys\n"
            f"sys.path.insert(0, {package_parent!r})\n"
            "from simnet import standin\n"
            f"sys.exit(standin.main({dut_dir!r}))\n")
    places = [(d, n) for n in PATH_TOOLS for d in ("bin", "sbin")] + list(PATH_SCRIPTS)
    for directory, name in places:
        os.makedirs(os.path.join(stub_root, directory), exist_ok=True)
        path = os.path.join(stub_root, directory, name)
        with open(path, "w") as f:
            f.write(body)
        os.chmod(path, 0o755)
