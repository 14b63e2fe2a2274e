#!/usr/bin/env python3
"""Replays, with the other build's karvo, the reports this build recorded in
the capture suite: each must give the document it holds (those recorded with
--json; the others must replay at all, with the same exit status).

Usage: cross_replay.py <karvo of the other build> [<runner>] <reports folder>
"""
import json
import os
import subprocess
import sys
import zipfile


def main() -> int:
    *program, folder = sys.argv[1:]
    if not os.path.exists(program[0]):
        print(f"cross_replay: {program[0]} is not built; nothing to replay against")
        return 0
    reports = sorted(f for f in os.listdir(folder) if f.endswith(".zip")) if os.path.isdir(folder) else []
    if not reports:
        print(f"cross_replay: no reports in {folder}")
        return 1
    failures = 0
    for name in reports:
        path = os.path.join(folder, name)
        with zipfile.ZipFile(path) as archive:
            info = json.loads(archive.read("report.json"))
            document = archive.read("document.txt")
        line = info["command_line"]
        args = [a for a in line[1:] if a in ("--json", "--compact")] or ["--json"]
        env = dict(os.environ, KARVO_SYSROOT="/nonexistent", LD_LIBRARY_PATH="")
        run = subprocess.run(program[:1] + program[1:] + ["--replay", path] + args, capture_output=True, env=env,
                             timeout=120)
        ok = run.returncode in (0, 2) and b"warning:" not in run.stderr
        if ok and ("--json" in line or "--compact" in line):
            ok = run.stdout == document
        print(f"{'ok  ' if ok else 'FAIL'} {name} ({info['system']} report, exit {run.returncode})")
        if not ok:
            failures += 1
            sys.stdout.write(run.stderr.decode(errors="replace"))
    print(f"cross_replay: {len(reports) - failures} passed, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
