#!/usr/bin/python3
"""`karvo top` end to end in a real terminal: tmux, driven by send-keys and read back with capture-pane.

  top_tmux_checks.py linux KARVO MACHINE
      KARVO over the two-GPU machine that MACHINE (karvo_fake_machine) writes as a KARVO_SYSROOT tree.
  top_tmux_checks.py windows KARVO RUNNER FAKES
      KARVO (karvo.exe) under Wine through RUNNER (scripts/wine-run.sh), next to the fake HIP runtime and
      the fake PowerShell of FAKES (bin/fakes): two GPUs, no processes (Wine has no GPU counters).

Checked: the first screen and the default order (VRAM, largest first); s, r, f, Left/Right/Tab and a; a
resize (Wine's console host takes the terminal's size once, when the program starts, so under Wine the
small sizes are separate starts); q, Ctrl-C and (Linux) SIGTERM leave the shell's screen as it was; a
kept report replayed (--replay) feeds the screen; a pipe is refused.

Every wait is bounded, every tmux server is private (a socket in a temporary folder) and is killed at the
end, with whatever still runs in it.
"""
import os
import pathlib
import shutil
import signal
import subprocess
import sys
import tempfile
import time

MARKER = "before karvo top"


class CheckFailed(Exception):
    pass


def check(condition, message, screen=None):
    if not condition:
        raise CheckFailed(message + ("\n--- screen:\n" + screen if screen is not None else ""))


class Tmux:
    """One private tmux server with one session running `command` in a shell."""

    def __init__(self, folder, name, command, width, height, env):
        self.socket = str(folder / (name + ".sock"))
        self.env = env
        script = folder / (name + ".sh")
        # The shell prints a marker first, so leaving the screen can be checked against it, and stays
        # after karvo ends so its exit status can be read.
        script.write_text("printf '%s\\n' '" + MARKER + "'\n" + command + "\nprintf '[exited %s]\\n' \"$status\"\n"
                          "exec sleep 600\n")
        self.tmux("-f", "/dev/null", "new-session", "-d", "-s", "top", "-x", str(width), "-y", str(height),
                  "bash " + str(script))

    def tmux(self, *args):
        done = subprocess.run(["tmux", "-S", self.socket, *args], env=self.env, capture_output=True, text=True,
                              timeout=30)
        if done.returncode != 0:
            raise CheckFailed("tmux " + " ".join(args) + ": " + done.stderr.strip())
        return done.stdout

    def screen(self):
        return self.tmux("capture-pane", "-p", "-t", "top")

    def keys(self, *keys):
        self.tmux("send-keys", "-t", "top", *keys)

    def resize(self, width, height):
        self.tmux("resize-window", "-t", "top", "-x", str(width), "-y", str(height))

    def wait_for(self, what, predicate, seconds):
        deadline = time.monotonic() + seconds
        screen = ""
        while time.monotonic() < deadline:
            screen = self.screen()
            if predicate(screen):
                return screen
            time.sleep(0.1)
        raise CheckFailed("timed out after %g s waiting for %s" % (seconds, what) + "\n--- screen:\n" + screen)

    def close(self):
        pids = []
        try:
            pids = [int(p) for p in self.tmux("list-panes", "-s", "-F", "#{pane_pid}").split()]
        except (CheckFailed, ValueError, subprocess.SubprocessError):
            pass
        subprocess.run(["tmux", "-S", self.socket, "kill-server"], env=self.env, capture_output=True, timeout=30)
        for pid in pids:  # the pane's shell, should it outlive the server
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass


def table(screen):
    """The PIDs of the process table, top to bottom."""
    lines = screen.splitlines()
    for i, line in enumerate(lines):
        if "PID" in line and "NAME" in line:
            pids = []
            for row in lines[i + 1:]:
                first = row.split()[0] if row.split() else ""
                if not first.isdigit():
                    break
                pids.append(int(first))
            return pids
    return None


def title(screen):
    return screen.splitlines()[0] if screen else ""


def header(screen):
    for line in screen.splitlines():
        if "PID" in line and "NAME" in line:
            return line
    return ""


class Run:
    def __init__(self, folder, program, env, first_screen_seconds):
        self.folder = folder
        self.program = program  # the command line that starts karvo, shell-quoted
        self.env = env
        self.first = first_screen_seconds
        self.sessions = []

    def start(self, name, arguments, width, height, suffix="; status=$?"):
        session = Tmux(self.folder, name, self.program + " " + arguments + suffix, width, height, self.env)
        self.sessions.append(session)
        return session

    def close(self):
        for session in self.sessions:
            session.close()


def keys_and_order(run, with_processes):
    t = run.start("keys", "top", 100, 30)
    gpus = ("AMD Radeon RX 7900 XTX", "AMD Radeon RX 7600 XT")
    screen = t.wait_for("the first screen with both GPUs",
                        lambda s: title(s).startswith("karvo top") and all(g in s for g in gpus), run.first)
    check("all 2 GPUs" in title(screen), "the title names both GPUs", screen)
    check("\u25bcVRAM" in header(screen), "sorted by VRAM, largest first", screen)

    def order(what, pids):
        return t.wait_for(what, lambda s: table(s) == pids, 10)

    if with_processes:
        everyone = [5150, 4242, 3131, 977, 1234]
        order("the default order: VRAM, largest first", everyone)
        t.keys("r")
        screen = order("r: smallest first", everyone[::-1])
        check("\u25b2VRAM" in header(screen), "r turns the arrow", screen)
        t.keys("r", "s")
        # Equal rates keep the GPU order, then the PID order; llama-server (KFD only) has no rate and goes
        # last once the others have one (from the second pass on).
        screen = t.wait_for("s: GPU %", lambda s: table(s) in ([977, 3131, 4242, 1234, 5150],
                                                               [977, 4242, 1234, 5150, 3131]), 10)
        check("\u25bcGPU%" in header(screen), "the GPU % column is marked", screen)
        t.keys("s", "s", "s")
        screen = order("s three times more: by name", [4242, 3131, 5150, 977, 1234])
        check("NAME\u25b2" in header(screen), "the name column is marked", screen)
        t.keys("s")
        order("s once more: VRAM again", everyone)
        t.keys("f")
        screen = order("f: compute only", [5150, 3131, 977])
        check("compute only" in title(screen), "the filter is named", screen)
        t.keys("f")
        order("f: graphics only", [4242, 1234])
        t.keys("f", "Right")
        screen = order("Right: GPU 0 only", [4242, 3131, 977])
        check("GPU 0 (1 of 2)" in title(screen) and gpus[1] not in screen, "one GPU's panel", screen)
        t.keys("Tab")
        screen = order("Tab: GPU 1", [5150, 1234])
        check(gpus[0] not in screen, "GPU 0's panel is gone", screen)
        t.keys("Right")
        order("Right after the last GPU: all of them", everyone)
        t.keys("Left")
        order("Left: the last GPU", [5150, 1234])
        t.keys("a")
        order("a: all GPUs", everyone)
    else:
        t.keys("s")
        t.wait_for("s: the GPU % column marked", lambda s: "\u25bcGPU%" in header(s), 10)
        t.keys("r")
        t.wait_for("r: the arrow turned", lambda s: "\u25b2GPU%" in header(s), 10)
        t.keys("f")
        t.wait_for("f: compute only", lambda s: "compute only" in title(s) and "no compute processes" in s, 10)
        t.keys("f", "f", "Right")
        screen = t.wait_for("Right: GPU 0", lambda s: "GPU 0 (1 of 2)" in title(s), 10)
        check(gpus[1] not in screen, "one GPU's panel", screen)
        t.keys("Tab")
        t.wait_for("Tab: GPU 1", lambda s: "GPU 1 (2 of 2)" in title(s) and gpus[0] not in s, 10)
        t.keys("Left", "Left")
        t.wait_for("Left twice: all GPUs", lambda s: "all 2 GPUs" in title(s), 10)
    t.keys("g")
    t.wait_for("g: the temperature graph", lambda s: "Temperature" in s, 10)
    t.keys("?")
    t.wait_for("?: the help", lambda s: "Keys of karvo top" in s, 10)
    t.keys("x")
    t.wait_for("any key closes the help", lambda s: "Keys of karvo top" not in s, 10)
    return t


def quits(t, key):
    t.keys(key)
    screen = t.wait_for("the shell's screen after " + key, lambda s: "[exited " in s, 20)
    lines = [line for line in screen.splitlines() if line.strip()]
    check(lines == [MARKER, "[exited 0]"], key + " leaves the screen as it was: only the shell's lines", screen)


def resize_linux(t):
    t.resize(60, 20)
    screen = t.wait_for("the screen at 60x20", lambda s: len(s.splitlines()) == 20 and "\u25bcVRAM" in s, 10)
    check(all(len(line) <= 60 for line in screen.splitlines()), "nothing past 60 columns", screen)
    check("Temperature" in screen and "now" in screen, "the graph shrinks but stays", screen)
    t.resize(39, 9)
    t.wait_for("the size message at 39x9", lambda s: title(s).startswith("karvo top needs 40x10 (now 39x9)"), 10)
    t.resize(100, 30)
    t.wait_for("the whole screen again at 100x30",
               lambda s: title(s).startswith("karvo top") and table(s) == [5150, 4242, 3131, 977, 1234], 10)


def children(pid):
    """The processes whose parent is `pid` (from /proc)."""
    found = []
    for entry in pathlib.Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            stat = (entry / "stat").read_text()
        except OSError:
            continue
        if int(stat.rsplit(")", 1)[1].split()[1]) == pid:
            found.append(int(entry.name))
    return found


def terminated_linux(run):
    """SIGTERM (a shutdown, `kill`) ends the screen as q does."""
    t = run.start("signal", "top", 80, 24)
    t.wait_for("the first screen", lambda s: title(s).startswith("karvo top") and "\u25bcVRAM" in s, run.first)
    shell = int(t.tmux("list-panes", "-t", "top", "-F", "#{pane_pid}").split()[0])
    karvo = children(shell)
    check(len(karvo) == 1, "karvo runs under the pane's shell: %s" % karvo)
    os.kill(karvo[0], signal.SIGTERM)
    screen = t.wait_for("the shell's screen after SIGTERM", lambda s: "[exited " in s, 20)
    lines = [line for line in screen.splitlines() if line.strip()]
    check(lines == [MARKER, "[exited 0]"], "SIGTERM leaves the screen as it was", screen)


def suspended_linux(run):
    """Ctrl-Z under a shell with job control gives the terminal back and stops karvo; fg brings the screen back."""
    command = ("set -m; " + run.program + " top; printf '[stopped %s]\\n' \"$?\"; read -r _; fg >/dev/null;"
               " status=$?")
    t = Tmux(run.folder, "suspend", command, 80, 24, run.env)
    run.sessions.append(t)
    t.wait_for("the first screen", lambda s: title(s).startswith("karvo top") and "\u25bcVRAM" in s, run.first)
    t.keys("C-z")
    screen = t.wait_for("the shell's screen after Ctrl-Z", lambda s: "[stopped " in s, 20)
    lines = [line for line in screen.splitlines() if line.strip()]
    check(lines == [MARKER, "[stopped 148]"], "Ctrl-Z stops the job (SIGTSTP) and leaves the shell's screen", screen)
    t.keys("Enter")  # the shell's read ends and fg continues karvo
    t.wait_for("the screen back after fg",
               lambda s: title(s).startswith("karvo top") and table(s) == [5150, 4242, 3131, 977, 1234], 20)
    t.keys("s")  # keys are read again: raw mode is back
    t.wait_for("a key after fg", lambda s: "\u25bcGPU%" in header(s), 10)
    t.keys("q")
    screen = t.wait_for("the shell's screen after q", lambda s: "[exited " in s, 20)
    lines = [line for line in screen.splitlines() if line.strip()]
    check(lines == [MARKER, "[stopped 148]", "[exited 0]"], "q after fg leaves the screen as it was", screen)


def small_windows(run):
    t = run.start("small", "top", 39, 9)
    t.wait_for("the size message at 39x9", lambda s: title(s).startswith("karvo top needs 40x10 (now 39x9)"),
               run.first)
    quits(t, "C-c")
    t = run.start("narrow", "top", 60, 20)
    screen = t.wait_for("the screen at 60x20", lambda s: "\u25bcVRAM" in s and "AMD Radeon" in s, run.first)
    check(all(len(line) <= 60 for line in screen.splitlines()), "nothing past 60 columns", screen)
    quits(t, "q")


def replayed(run, windows):
    """--replay feeds the monitor as it feeds every mode: the GPUs of a kept report (recorded under Wine)."""
    report = pathlib.Path(__file__).resolve().parents[1] / "reports" / "windows-hip-wmi-adl.zip"
    path = ("Z:" + str(report)) if windows else str(report)
    t = run.start("replay", "top --replay '" + path + "'", 100, 24)
    screen = t.wait_for("the replayed GPUs",
                        lambda s: "AMD Radeon RX 7900 XTX" in s and "AMD Radeon(TM) Graphics" in s, run.first)
    check("all 2 GPUs" in title(screen), "both GPUs of the report", screen)
    quits(t, "q")


def pipe_refused(run):
    t = run.start("pipe", "top | cat", 100, 12, suffix="; status=${PIPESTATUS[0]}")
    screen = t.wait_for("the refusal", lambda s: "[exited " in s, run.first)
    check("[exited 2]" in screen, "a pipe is a usage error (exit status 2)", screen)
    check("standard output is not one" in screen and "--loop" in screen, "the message suggests --loop", screen)


def main(argv):
    if len(argv) == 4 and argv[1] == "linux":
        platform, karvo, machine = argv[1], argv[2], argv[3]
    elif len(argv) == 5 and argv[1] == "windows":
        platform, karvo, runner, fakes = argv[1:]
    else:
        print(__doc__, file=sys.stderr)
        return 2
    if shutil.which("tmux") is None:
        print("top tmux checks: tmux is not installed (scripts/deps.sh test installs it)", file=sys.stderr)
        return 1
    folder = pathlib.Path(tempfile.mkdtemp(prefix="karvo-top-"))
    env = dict(os.environ, TERM="xterm-256color", LANG="C.UTF-8", LC_ALL="C.UTF-8")
    env.pop("NO_COLOR", None)
    env.pop("TMUX", None)
    machine_process = None
    run = None
    try:
        if platform == "linux":
            # The machine's tree lives until its standard input closes.
            machine_process = subprocess.Popen([machine], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
            line = machine_process.stdout.readline().strip()
            check(line.startswith("tree: "), "the machine's tree is written: " + line)
            root = pathlib.Path(line[len("tree: "):])
            empty = folder / "empty"
            empty.mkdir()
            env.update(KARVO_SYSROOT=str(root), PATH=str(empty) + ":/usr/bin:/bin", LD_LIBRARY_PATH="")
            run = Run(folder, "'" + karvo + "'", env, 20)
        else:
            app = folder / "app"
            app.mkdir()
            shutil.copy(karvo, app / "karvo.exe")
            shutil.copy(pathlib.Path(fakes) / "hip" / "amdhip64.dll", app)
            shutil.copy(pathlib.Path(fakes) / "powershell" / "powershell.exe", app)
            env["KARVO_FAKE_HIP"] = ("dev0.name=AMD Radeon RX 7900 XTX;dev0.mem=25753026560;"
                                     "dev1.name=AMD Radeon RX 7600 XT;dev1.mem=17163091968")
            env.pop("KARVO_FAKE_PS_DIR", None)
            # The first program of a Wine session takes a while to come up.
            run = Run(folder, "'" + runner + "' '" + str(app / "karvo.exe") + "'", env, 120)
        checks = 0
        t = keys_and_order(run, platform == "linux")
        checks += 1
        if platform == "linux":
            resize_linux(t)
            checks += 1
        quits(t, "q")
        checks += 1
        if platform == "linux":
            terminated_linux(run)
            checks += 1
            suspended_linux(run)
            checks += 1
        if platform == "windows":
            small_windows(run)
            checks += 1
        replayed(run, platform == "windows")
        checks += 1
        pipe_refused(run)
        checks += 1
        print("top tmux checks (%s): %d passed, 0 failed" % (platform, checks))
        return 0
    except CheckFailed as failure:
        print("FAIL: %s" % failure, file=sys.stderr)
        return 1
    finally:
        if run is not None:
            run.close()
        if machine_process is not None:
            machine_process.stdin.close()
            try:
                machine_process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                machine_process.kill()
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
