#!/usr/bin/env python3
"""Kill and resume: `orvane update` killed with SIGKILL at seeded random
moments, then a new check and update against the same router.

The script starts orvane-routersim on loopback (ports it picks, a small
time scale, a rate-limited module link and a late router verdict, so that
both a router image and a module download last long enough to be hit),
packs a router application image and a module firmware image, and then,
for each kill, in turn:

  * router image: waits until the run prints "Sending router module's
    update data", then kills it at a random moment within the image's
    transfer;
  * module download: waits until it prints "Downloading wireless module's
    firmware", then kills it at a random moment within the block writes;
  * router verdict: as the first, but within the wait for the router's
    verdict on the image;
  * module download again.

After each kill it checks that the download log holds every step line the
killed run printed, in order (the log is written line by line, so nothing
it showed may be missing), then runs `orvane check` and `orvane update
--yes` again: both items must end with "Download success".

    scripts/kill_resume.py --build build/release [--kills 4] [--seed 1]
                           [--scale 0.05] [--keep]

Exit status 0 when every kill was recovered from and every log held its
lines; 1 otherwise. Everything stays on 127.0.0.1.
"""
import argparse
import os
import random
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time

ITEM_LINE = re.compile(r"^(Router's BOOT|Router's APP|Router's Resource|Firmware|Dashboard): (.*)$")
PERCENT = re.compile(r"^\d+%$")
LOG_LINE = re.compile(r"^\d{10}:\d\d:\d\d: (.*)$")

ROUTER_STEP = "Router's APP: Sending router module's update data"
MODULE_STEP = "Firmware: Downloading wireless module's firmware"
# System milliseconds: the router's verdict comes this long after the image
# (the router waits 240 s for an application image), and the module's link
# carries this many bits a second.
RESULT_DELAY_MS = 20000
MODULE_RATE = 921600
FIRMWARE_BYTES = 1 << 20
APP_BYTES = 64 << 20
# When to kill, after the phase's line, in system milliseconds (the time
# scale applies) plus real seconds: within the image's data, which starts
# with the line and takes 0.1 s or more (64 MiB at up to 600 MB/s); within
# the verdict's delay, once the data are through (at 130 MB/s or more); within
# the firmware's bytes over the module's link.
PHASES = [
    # name, line, from (ms, s), to (ms, s)
    ("router image", ROUTER_STEP, (0, 0), (0, 0.1)),
    ("module download", MODULE_STEP, (0, 0), (FIRMWARE_BYTES * 8 * 1000 // MODULE_RATE, 0)),
    ("router verdict", ROUTER_STEP, (0, 0.5), (RESULT_DELAY_MS, 0)),
    ("module download", MODULE_STEP, (0, 0), (FIRMWARE_BYTES * 8 * 1000 // MODULE_RATE, 0)),
]


class Failure(Exception):
    pass


def pack_images(orvane, work, rng):
    images = os.path.join(work, "images")
    os.makedirs(images)
    app = bytearray(rng.randbytes(APP_BYTES))
    word = struct.unpack_from("<I", app, 12)[0]
    struct.pack_into("<I", app, 12, word & ~6)  # router payload kind 0: application
    payloads = {"app.dat": app, "amss.dat": rng.randbytes(FIRMWARE_BYTES * 2 // 3),
                "dsp.dat": rng.randbytes(FIRMWARE_BYTES // 3)}
    for name, data in payloads.items():
        with open(os.path.join(work, name), "wb") as f:
            f.write(data)
    run([orvane, "image", "pack", "--type", "app", "--version", "2.1.10.3.7", "-o",
         os.path.join(images, "router_app.bin"), os.path.join(work, "app.dat")])
    run([orvane, "image", "pack", "--type", "firmware", "--version", "11.608.13.02.00", "--unlock",
         "3132333435363738", "--target", "0x00100000", "-o", os.path.join(images, "module_fw.bin"),
         os.path.join(work, "amss.dat"), os.path.join(work, "dsp.dat")])
    return images


def run(argv, expect=0):
    result = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=300)
    if expect is not None and result.returncode != expect:
        raise Failure(f"{' '.join(argv[:2])}: exit {result.returncode}\n{result.stdout}{result.stderr}")
    return result


def start_simulator(program, scale):
    sim = subprocess.Popen([program, "--time-scale", str(scale), "--result-delay", str(RESULT_DELAY_MS),
                            "--rate", str(MODULE_RATE)], stdout=subprocess.PIPE, text=True)
    ports = {}
    while len(ports) < 3:
        line = sim.stdout.readline()
        if not line:
            raise Failure("orvane-routersim ended before printing its ports")
        name, _, address = line.strip().partition(" ")
        ports[name] = address.rpartition(":")[2]
    return sim, ports


def log_sizes(logs):
    sizes = {}
    for root, _, files in os.walk(logs):
        for name in files:
            path = os.path.join(root, name)
            sizes[path] = os.path.getsize(path)
    return sizes


def new_log_messages(logs, before):
    """The messages of the log lines written since `before` (sizes by file)."""
    messages = []
    for path in sorted(log_sizes(logs)):
        with open(path, "rb") as f:
            f.seek(before.get(path, 0))
            text = f.read().decode("utf-8", "replace")
        for line in text.split("\n"):
            match = LOG_LINE.match(line.rstrip("\r"))
            if match:
                messages.append(match.group(1).rstrip())
    return messages


def printed_steps(lines):
    steps = []
    for line in lines:
        match = ITEM_LINE.match(line)
        if match and not PERCENT.match(match.group(2)):
            steps.append(match.group(2).rstrip())
    return steps


def check_log_holds(steps, messages):
    """Every printed step, in order, among the log's messages."""
    at = 0
    for i, step in enumerate(steps):
        try:
            at = messages.index(step, at) + 1
        except ValueError:
            raise Failure(f"the log lacks printed line {i + 1} of {len(steps)}, \"{step}\" "
                          f"(the log has {len(messages)} new lines)")


def killed_update(orvane, net, trigger, earliest_s, latest_s, rng):
    """Starts `orvane update`, kills it between `earliest_s` and `latest_s`
    after it printed `trigger`; returns the lines it printed, the delay and
    the step it was at."""
    proc = subprocess.Popen([orvane, "update", "--yes"] + net, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, text=True)
    lines = []
    seen = threading.Event()

    def read():
        for line in proc.stdout:
            lines.append(line.rstrip("\n"))
            if line.rstrip().startswith(trigger):
                seen.set()
        seen.set()  # the output ended: nothing more to wait for

    reader = threading.Thread(target=read)
    reader.start()
    if not seen.wait(120):
        proc.kill()
        reader.join()
        raise Failure(f"no \"{trigger}\" within 120 s")
    delay = rng.uniform(earliest_s, latest_s)
    time.sleep(delay)
    alive = proc.poll() is None
    proc.send_signal(signal.SIGKILL)
    proc.wait()
    reader.join()
    if not alive:
        raise Failure(f"the run had ended before the kill ({delay:.3f} s after \"{trigger}\")")
    at = printed_steps(lines)[-1] if printed_steps(lines) else "-"
    return lines, delay, at


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default="build/release", help="build folder with orvane and orvane-routersim")
    parser.add_argument("--kills", type=int, default=4)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--scale", type=float, default=0.05, help="time scale of the updater and the router")
    parser.add_argument("--keep", action="store_true", help="keep the work folder (images, logs)")
    args = parser.parse_args()

    orvane = os.path.join(args.build, "src/cli/orvane")
    simulator = os.path.join(args.build, "tools/routersim/orvane-routersim")
    for program in (orvane, simulator):
        if not os.access(program, os.X_OK):
            sys.exit(f"kill_resume: {program} is missing: build orvane and orvane-routersim in {args.build}")

    rng = random.Random(args.seed)
    work = tempfile.mkdtemp(prefix="orvane-kill-resume-")
    logs = os.path.join(work, "logs")
    images = pack_images(orvane, work, rng)
    sim, ports = start_simulator(simulator, args.scale)
    net = ["--dir", images, "--broadcast", "127.0.0.1", "--port", ports["relay"], "--control-port",
           ports["control"], "--telnet-port", ports["telnet"], "--time-scale", str(args.scale), "--log-dir", logs]
    print(f"kill/resume: {args.kills} kills, seed {args.seed}, time scale {args.scale}, work folder {work}")
    failures = 0
    start = time.monotonic()
    try:
        for k in range(1, args.kills + 1):
            phase, trigger, earliest, latest = PHASES[(k - 1) % len(PHASES)]
            try:
                before = log_sizes(logs)
                lines, delay, at = killed_update(orvane, net, trigger, earliest[0] * args.scale / 1000 + earliest[1],
                                                 latest[0] * args.scale / 1000 + latest[1], rng)
                steps = printed_steps(lines)
                check_log_holds(steps, new_log_messages(logs, before))
                checked = run([orvane, "check"] + net)
                found = "the module in its downloader" if "runs its downloader" in checked.stdout else "check passed"
                resumed = run([orvane, "update", "--yes"] + net, expect=None)
                successes = [line for line in resumed.stdout.splitlines()
                             if ITEM_LINE.match(line) and "Download success(" in line]
                if resumed.returncode != 0 or len(successes) != 2:
                    raise Failure(f"the update after the kill: exit {resumed.returncode}\n{resumed.stdout}")
                print(f"kill {k}: {phase:15s} +{delay:.3f} s at \"{at}\": log held all {len(steps)} printed lines; "
                      f"then {found}, update: {', '.join(s.split(': ')[0] for s in successes)} Download success")
            except Failure as failure:
                failures += 1
                print(f"kill {k}: {phase}: FAIL: {failure}")
    finally:
        sim.send_signal(signal.SIGTERM)
        try:
            sim.wait(10)
        except subprocess.TimeoutExpired:
            sim.kill()
            sim.wait()
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)
    print(f"kill/resume: {args.kills - failures} of {args.kills} kills recovered in {time.monotonic() - start:.1f} s")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
