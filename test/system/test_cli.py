"""Command-line modes that touch nothing on the machine: -T and the usage text. They run the
agent directly, without namespaces; every other mode runs only inside a simulated device."""

import subprocess

import pytest

RULE = "=" * 63
HELP_OPTIONS = ("-s : product S/N on DUT (255 - 255*255)",
                "-i : IPv4 address on eth0",
                "-c : configuration loads from ini configuration file",
                "-n : No remote test",
                "-T : Hex to ASCII",
                "-h : help usage")


def usage_text(program):
    return (f"{RULE}\n"
            "ovikburn builddate:\t20240116134911\n"
            f"{RULE}\n"
            f"Burn test usage:\t{program} -e\n"
            f"{RULE}\n"
            + "Debug usage : ovikburn  <-p SN>  <-i IP_addr> [OPTION...]".ljust(63) + "\n"
            + "".join("\t" + line.ljust(61) + "\n" for line in HELP_OPTIONS)
            + " " * 63 + "\n")


def run_agent(program, *args):
    return subprocess.run([program, *args], stdin=subprocess.DEVNULL, capture_output=True,
                          timeout=10)


@pytest.mark.parametrize("args, output", [
    (("-T", "48656C6C6F"), b"Hello\n"),
    (("-T", "41424"), b"AB\n"),          # a last unpaired digit is ignored
    (("-T", "7E30"), b"~0\n"),
    (("-T", ""), b"\n"),
    (("-q", "-T", "41"), b""),           # quiet before -T: nothing at all
])
def test_cli_hex_to_ascii(agent_program, args, output):
    done = run_agent(agent_program, *args)
    assert done.returncode == 0, done.stderr
    assert done.stdout == output


@pytest.mark.parametrize("args", [(), ("-h",), ("-q", "-h")])
def test_cli_usage(agent_program, args):
    done = run_agent(agent_program, *args)
    assert done.returncode == 1
    assert done.stdout.decode() == usage_text(agent_program)
