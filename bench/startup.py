#!/usr/bin/env python3
"""Start-up cost of the real binary: `karvo --version` against a do-nothing C++
program built the same way, run side by side (interleaved) in one session, plus
peak resident memory and the size of the Windows executable when it is built.

Usage: python3 bench/startup.py [build-dir] [runs]
Goals: --version within 1.2x the do-nothing wall time; peak RSS <= 4 MiB;
karvo.exe <= 1 MiB.
"""
import os
import statistics
import subprocess
import sys
import time

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
build = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "build", "bench")
runs = int(sys.argv[2]) if len(sys.argv) > 2 else 2000
karvo = [os.path.join(build, "bin", "karvo"), "--version"]
baseline = [os.path.join(build, "bin", "do_nothing")]


def once(cmd):
    start = time.perf_counter_ns()
    subprocess.run(cmd, stdout=subprocess.DEVNULL, check=True)
    return time.perf_counter_ns() - start


for cmd in (karvo, baseline):  # warm the page cache
    for _ in range(50):
        once(cmd)
k, b = [], []
for _ in range(runs):
    k.append(once(karvo))
    b.append(once(baseline))
km, bm = statistics.median(k), statistics.median(b)
print(f"karvo --version: median {km / 1e6:.3f} ms; do-nothing: median {bm / 1e6:.3f} ms; "
      f"ratio {km / bm:.3f} (goal <= 1.2) over {runs} interleaved runs each")

# GNU time starts the program from a small C process, so the peak it reports is
# karvo's own (a fork of this Python process would count Python's pages too).
for name, cmd in (("karvo --version", karvo), ("do-nothing", baseline)):
    out = subprocess.run(["/usr/bin/time", "-f", "%M"] + cmd, stdout=subprocess.DEVNULL,
                         stderr=subprocess.PIPE, text=True, check=True).stderr.strip().splitlines()[-1]
    print(f"{name} peak RSS: {out} KiB" + (" (goal <= 4096 KiB)" if cmd is karvo else ""))

exe = os.path.join(root, "build", "windows", "bin", "karvo.exe")
if os.path.exists(exe):
    size = os.path.getsize(exe)
    print(f"karvo.exe size: {size} bytes = {size / 1048576:.3f} MiB (goal <= 1 MiB)")
