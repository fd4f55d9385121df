#!/usr/bin/env python3
"""The dashboard at the scale of a burn-in room (run as root, release build): a station runs N
emulated devices with --web, headless Chromium shows its page, and this prints the time from
the page's navigation to the first frame that shows every device, and the time from a
snapshot's arrival to the frame that shows it (parse, update, layout, paint), over the rounds
of the run and its downloads.

Usage: bench/dashboard-bench.py [--build DIR] [--devices 1000] [--seconds 20]
"""

import argparse
import contextlib
import re
import statistics
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "ovikline"))
sys.path.insert(0, str(ROOT / "test" / "web"))

from browser import Browser, missing  # noqa: E402
from ovikline import burnin, emulate, netns  # noqa: E402
from ovikline.network import Network  # noqa: E402

DISCOVER = 7  # the first announcements spread over 3 s, the next 3 s later
# Times every snapshot the page takes in: from the event to the frame after it was drawn.
TIMER = """
window.rounds = [];
const add = EventSource.prototype.addEventListener;
EventSource.prototype.addEventListener = function (type, show, ...rest) {
  if (type !== 'line') return add.call(this, type, show, ...rest);
  return add.call(this, type, (event) => {
    const start = performance.now();
    show(event);
    const cells = document.querySelectorAll('#tiles > .tile').length;
    requestAnimationFrame(() => setTimeout(() => window.rounds.push(
      {start, painted: performance.now(), cells, bytes: event.data.length})));
  }, ...rest);
};
"""


def measure(build, devices, seconds):
    with Network(agent=str(build / "src/main/ovikburn"),
                 station=str(build / "src/station/ovikstation")) as net:
        emulation = emulate.Emulation(
            net, {s: [] for s in emulate.serials(devices, [])},
            burnin.config(download=True), str(build / "ovikline/ovikline-emulator"))
        if not emulation.wait_ready():
            sys.exit(emulation.dump())
        run = net.start_station("run", "--discover", DISCOVER, "--duration", seconds,
                                "--firmware", "fw.bin", "--db", net.dir / "line.db", "--web",
                                "127.0.0.1:0", timeout=DISCOVER + seconds + 120)
        url = netns.wait_for(lambda: re.search(r"dashboard on (\S+)", run.stdout), 15)
        with contextlib.closing(Browser(net.pc_netns, net.dir / "browser")) as browser:
            # Through ChromeDriver's DevTools passage: the timer runs before the page's scripts.
            browser._session_call("POST", "/goog/cdp/execute", {
                "cmd": "Page.addScriptToEvaluateOnNewDocument", "params": {"source": TIMER}})
            # Twice: the second time the first snapshot holds every device.
            for _ in range(2):
                browser.get(url.group(1))
                if not netns.wait_for(lambda: browser.run(
                        "return window.rounds.some((r) => r.cells === arguments[0])", devices),
                        DISCOVER + 30):
                    sys.exit(f"the page never showed {devices} devices:\n{run.stdout[-2000:]}")
            run.wait()  # the run and the downloads, every snapshot timed
            rounds = browser.run("return window.rounds")
    first = next(r for r in rounds if r["cells"] == devices)
    later = [r["painted"] - r["start"] for r in rounds[rounds.index(first) + 1:]]
    return first, later


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--build", default=str(ROOT / "build" / "release"))
    p.add_argument("--devices", type=int, default=1000)
    p.add_argument("--seconds", type=int, default=20)
    args = p.parse_args()
    if missing():
        sys.exit(missing())
    first, later = measure(Path(args.build), args.devices, args.seconds)
    print(f"{args.devices} devices, snapshot {first['bytes'] / 1000:.0f} kB")
    print(f"first paint of every device: {first['painted'] / 1000:.2f} s after navigation")
    if later:
        print(f"one update round: median {statistics.median(later) / 1000:.3f} s, "
              f"max {max(later) / 1000:.3f} s over {len(later)} rounds")


if __name__ == "__main__":
    main()
