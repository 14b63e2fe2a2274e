#!/usr/bin/env python3
"""Start-up cost of the real binary: `karvo --version` against a do-nothing C
program built the same way, run side by side (interleaved) in one session, plus
peak resident memory (of --version and of a one-shot report over a generated
one-GPU machine, KARVO_SYSROOT) and the size of the Windows executable when it
is built.

Usage: python3 bench/startup.py [build-dir] [runs]
Goals: --version within 1.2x the do-nothing wall time; peak RSS <= 4 MiB;
karvo.exe <= 1 MiB.
"""
import json
import os
import statistics
import subprocess
import sys
import tempfile
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



def machine(top):
    """A one-GPU tree for KARVO_SYSROOT: identity, VRAM, hwmon sensors, one DRM client."""
    pci = "sys/devices/pci0000:00/0000:00:01.1/0000:03:00.0"
    files = {
        "vendor": "0x1002\n", "device": "0x744c\n", "revision": "0xc8\n", "subsystem_vendor": "0x1002\n",
        "subsystem_device": "0x0e3b\n", "mem_info_vram_total": "25753026560\n", "mem_info_vram_used": "3221225472\n",
        "gpu_busy_percent": "37\n", "power/runtime_status": "active\n",
        "pp_dpm_pcie": "1: 16.0GT/s, x16 619Mhz *\n", "hwmon/hwmon0/temp1_label": "edge\n",
        "hwmon/hwmon0/temp1_input": "45000\n", "hwmon/hwmon0/power1_input": "212250000\n",
    }
    for name, text in files.items():
        os.makedirs(os.path.dirname(os.path.join(top, pci, name)), exist_ok=True)
        with open(os.path.join(top, pci, name), "w") as out:
            out.write(text)
    os.makedirs(os.path.join(top, "sys/class/drm/card0"))
    os.makedirs(os.path.join(top, "sys/bus/pci/drivers/amdgpu"))
    os.symlink("../../../" + pci[4:], os.path.join(top, "sys/class/drm/card0/device"))
    os.symlink("../../../../bus/pci/drivers/amdgpu", os.path.join(top, pci, "driver"))
    os.makedirs(os.path.join(top, "proc/4242/fd"))
    os.makedirs(os.path.join(top, "proc/4242/fdinfo"))
    os.symlink("/dev/dri/renderD128", os.path.join(top, "proc/4242/fd/7"))
    with open(os.path.join(top, "proc/4242/fdinfo/7"), "w") as out:
        out.write("drm-driver:\tamdgpu\ndrm-pdev:\t0000:03:00.0\ndrm-client-id:\t1\ndrm-resident-vram:\t2097152 KiB\n")
    with open(os.path.join(top, "proc/4242/comm"), "w") as out:
        out.write("blender\n")


# GNU time starts the program from a small C process, so the peak it reports is
# karvo's own (a fork of this Python process would count Python's pages too).
def peak_kib(cmd, env=None):
    done = subprocess.run(["/usr/bin/time", "-f", "%M"] + cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          text=True, env=env)
    if done.returncode != 0:
        sys.exit(f"{' '.join(cmd)} failed ({done.returncode}): {done.stderr}")
    return done.stderr.strip().splitlines()[-1], done.stdout


print(f"do-nothing peak RSS: {peak_kib(baseline)[0]} KiB")
print(f"karvo --version peak RSS: {peak_kib(karvo)[0]} KiB (goal <= 4096 KiB)")
with tempfile.TemporaryDirectory(prefix="karvo-startup-") as top:
    machine(top)
    env = dict(os.environ, KARVO_SYSROOT=top)
    for args in ([], ["--json"]):
        kib, out = peak_kib([karvo[0]] + args, env)
        print(f"karvo {' '.join(args) or '(table)'} one-shot over a 1-GPU KARVO_SYSROOT tree: peak RSS {kib} KiB "
              f"(goal <= 4096 KiB)" + (f"; {len(json.loads(out))} GPU reported" if args else ""))

exe = os.path.join(root, "build", "windows", "bin", "karvo.exe")
if os.path.exists(exe):
    size = os.path.getsize(exe)
    print(f"karvo.exe size: {size} bytes = {size / 1048576:.3f} MiB (goal <= 1 MiB)")
