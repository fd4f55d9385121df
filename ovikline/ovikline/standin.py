"""Stand-ins for the device image's tools, run inside a simulated device.

Each tool is a tiny per-device script that calls main() with the device's directory. Every
call appends its whole argument vector as one JSON line to the device's command log, with the
process id and name of its caller, so a test sees exactly which programs ran with which
argument boundaries, and who ran them (the agent itself, or a shell). Behaviour by name:

  fw_printenv [-n] [NAME...]  prints the boot-loader environment file as name=value lines
  fw_setenv NAME [VALUE...]   sets NAME (values joined by blanks) or, without a value, removes it
  mp_upgrade.sh               prints the lines scripted in upgrade.json, one every `delay`
                              seconds, then exits with the scripted `status`
  hwclock                     on a device with a real clock: hands over to the real one
  a tool named in real-tools  hands over to the real one (devices with radios: iw, hostapd);
                              a tool this machine lacks only records
  anything else               prints what was scripted for it in output/NAME (nothing when
                              that file is missing)
"""

import os
import stat
import sys
import time

COMMAND_LOG = "commands.log"
BOOTENV = "bootenv"
UPGRADE_SCRIPT = "upgrade.json"
OUTPUT_DIR = "output"  # output/NAME: what the stand-in NAME prints
REAL_SBIN = "/dev/.host-sbin"  # where the launcher keeps the real tools of a device with drivers
REAL_TOOLS = "real-tools"  # in the device's directory: tools that hand over to the real ones

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


def _caller():
    ppid = os.getppid()
    try:
        with open(f"/proc/{ppid}/comm") as f:
            return ppid, f.read().strip()
    except OSError:
        return ppid, ""


_JSON_ESCAPES = {'"': '\\"', "\\": "\\\\", "\n": "\\n", "\r": "\\r", "\t": "\\t",
                 "\b": "\\b", "\f": "\\f"}


def _json_text(text):
    """text as json.dumps writes it. Importing json takes longer than the rest of a stand-in's
    run under emulation (the virtual test machine), and the agent waits for its stand-ins."""
    out = []
    for c in text:
        n = ord(c)
        if c in _JSON_ESCAPES:
            out.append(_JSON_ESCAPES[c])
        elif 0x20 <= n < 0x7F:
            out.append(c)
        elif n > 0xFFFF:
            n -= 0x10000
            out.append(f"\\u{0xD800 | n >> 10:04x}\\u{0xDC00 | n & 0x3FF:04x}")
        else:
            out.append(f"\\u{n:04x}")
    return '"' + "".join(out) + '"'


def record(dut_dir, argv):
    ppid, parent = _caller()
    line = (f'{{"argv": [{", ".join(_json_text(a) for a in argv)}], '
            f'"t": {round(time.time(), 3)!r}, "ppid": {ppid}, "parent": {_json_text(parent)}}}\n')
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
    import json  # only this tool reads JSON; see _json_text
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


def script_output(dut_dir, name, text):
    os.makedirs(os.path.join(dut_dir, OUTPUT_DIR), exist_ok=True)
    with open(os.path.join(dut_dir, OUTPUT_DIR, name), "w") as f:
        f.write(text)


def scripted_output(dut_dir, name):
    try:
        with open(os.path.join(dut_dir, OUTPUT_DIR, name)) as f:
            sys.stdout.write(f.read())
    except FileNotFoundError:
        pass
    return 0


def real_tools(dut_dir):
    try:
        with open(os.path.join(dut_dir, REAL_TOOLS)) as f:
            return f.read().split()
    except FileNotFoundError:
        return []


def _real_rtc():
    try:
        return stat.S_ISCHR(os.stat("/dev/rtc0").st_mode)
    except FileNotFoundError:
        return False


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
    # Only the machine's real RTC (--rtc) goes to the real hwclock: a device's own clock
    # (rtc-clock, a regular file) must never set this machine's system clock.
    if name == "hwclock" and _real_rtc() and os.path.exists(real):
        os.execv(real, [real, *args])
    if name in real_tools(dut_dir) and os.path.exists(real):
        os.execv(real, [real, *args])
    return scripted_output(dut_dir, name)


def _call(dut_dir, package_parent):
    """A stand-in's Python after "import sys": it runs main() for the device."""
    return (f"sys.path.insert(0, {package_parent!r})\n"
            "from ovikline import standin\n"
            f"sys.exit(standin.main({dut_dir!r}))\n")


def install(dut_dir, stub_root, package_parent):
    """Writes the stand-ins of one device into stub_root/bin and stub_root/sbin."""
    # -S: no site module; the stand-ins need only the standard library, and under emulation
    # (the virtual test machine) this halves their start-up time.
    body = "#!/usr/bin/python3 -IBS\nimport sys\n" + _call(dut_dir, package_parent)
    places = [(d, n) for n in PATH_TOOLS for d in ("bin", "sbin")] + list(PATH_SCRIPTS)
    for directory, name in places:
        os.makedirs(os.path.join(stub_root, directory), exist_ok=True)
        path = os.path.join(stub_root, directory, name)
        with open(path, "w") as f:
            f.write(body)
        os.chmod(path, 0o755)


def drop_interpreter_line(dut_dir, stub_root, package_parent, name):
    """Rewrites the stand-in script name (one of PATH_SCRIPTS) as older device images ship
    their scripts: shell commands without a "#!" line, which runs only when its caller hands it
    to /bin/sh. It passes its call on unchanged to the same stand-in."""
    import shlex  # only here: every stand-in run imports this module
    directory = {n: d for d, n in PATH_SCRIPTS}[name]
    # python3 -c calls its own argv[0] "-c": the script's path ($0) follows it.
    code = "import sys\nsys.argv = sys.argv[1:]\n" + _call(dut_dir, package_parent)
    with open(os.path.join(stub_root, directory, name), "w") as f:
        f.write(f'exec /usr/bin/python3 -IBS -c {shlex.quote(code)} "$0" "$@"\n')
