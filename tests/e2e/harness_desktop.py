"""The desktop of a test process: an Xvfb display of its own, the build's
Wine prefix (<build dir>/wineprefix, created once and reused) and a
persistent wineserver for it; the programs started there, the message boxes
shown on it, and the clean-up of what a test left running."""

import atexit
import fcntl
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from harness_base import (SOURCE_DIR, HarnessError, build_dir, repeat_when_ended_silently,
                          repeatable, wait_until)
from harness_runs import ConsoleRun, PlainRun
import peers  # after harness_base, which imports test_env first

# Wine's own processes that live as long as the prefix's server and are no
# test's business.
_WINE_SYSTEM_PROGRAMS = ("services.exe", "winedevice.exe", "plugplay.exe", "explorer.exe",
                         "rpcss.exe", "svchost.exe", "wineboot.exe", "winemenubuilder")

_desktop = None


class Box:
    """A message box on the display: caption, icon ("error", "warning",
    "information", "question", "none" or "unknown"), buttons (list of
    labels) and text, exactly as the box shows it."""

    def __init__(self, desktop, caption, icon, buttons, text):
        self._desktop = desktop
        self.caption = caption
        self.icon = icon
        self.buttons = buttons
        self.text = text

    def __repr__(self):
        return "Box(caption=%r, icon=%r, buttons=%r, text=%r)" % (self.caption, self.icon,
                                                                 self.buttons, self.text)

    def screenshot(self, path):
        """Saves the whole screen (the box is on it) as an image file."""
        self._desktop.screenshot(path)

    def dismiss(self, method="click", timeout=10):
        """Closes the box with its OK button ("click": a button press inside
        Wine, which leaves no key events behind) or by focusing it and typing
        Return ("key"). Waits until the box is gone."""
        if method == "click":
            self._desktop.run_tool("box_tool.exe", ["click", self.caption, "5000"], timeout=30)
        elif method == "key":
            window = self._desktop.find_window(self.caption)
            if window:
                self._desktop.xdotool(["windowfocus", "--sync", window])
                self._desktop.xdotool(["key", "--clearmodifiers", "Return"])
        else:
            raise ValueError(method)
        self._desktop.wait_window_gone(self.caption, timeout)


class Desktop:
    """Xvfb, the build's Wine prefix and its persistent wineserver. Use
    harness.desktop() rather than making one."""

    def __init__(self, build):
        self.build_dir = build
        self.prefix = os.path.join(build, "wineprefix")
        self.display = None
        self.work_dir = None
        self._xvfb = None
        self._wineserver = None
        self.server_log = None
        self._runs = []

    @property
    def environment(self):
        """Environment for Wine programs of this desktop (a fresh copy)."""
        environment = dict(os.environ)
        environment.update({
            "WINEPREFIX": self.prefix,
            "WINEDEBUG": os.environ.get("E2E_WINEDEBUG", "-all"),
            # No menu builder: it would copy a desktop shortcut's icons and
            # menu entries into the Linux home.
            "WINEDLLOVERRIDES": "mscoree,mshtml=;winemenubuilder.exe=d",
            "DISPLAY": self.display or "",
        })
        return environment

    def start(self):
        self.work_dir = tempfile.mkdtemp(prefix="e2e-run-", dir=self.build_dir)
        self._start_xvfb()
        self._prepare_prefix()
        # One server for the whole test process saves its start-up on every
        # program; it dies with this process. A server someone else runs for
        # the prefix is shared and left alone.
        # Its own complaints (protocol errors, which end a program with exit 1
        # and nothing on the program's own stderr) go to a log beside the
        # prefix, shared by the test processes of the build, that a failed test
        # shows.
        self.server_log = self.prefix + ".wineserver.log"
        if not self._wineserver_running():
            with open(self.server_log, "ab") as log:
                self._wineserver = peers.start_child(["wineserver", "-f", "-p"],
                                                     env=self.environment,
                                                     stdout=subprocess.DEVNULL, stderr=log)
        # Wine's services start with the first program and keep its standard
        # handles: start them here with none, or a later program whose output
        # a test reads through a pipe would never see the pipe close.
        subprocess.run(["wineboot"], env=self.environment, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)

    def _wineserver_running(self):
        return self.wineserver_pid() is not None

    def wineserver_pid(self):
        """The Linux pid of the prefix's wineserver, or None."""
        marker = ("WINEPREFIX=" + self.prefix).encode()
        for entry in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open("/proc/%s/cmdline" % entry, "rb") as f:
                    if b"wineserver" not in f.read():
                        continue
                with open("/proc/%s/environ" % entry, "rb") as f:
                    if marker in f.read().split(b"\0"):
                        return int(entry)
            except OSError:
                continue
        return None

    def stop(self):
        self.end_test_processes(grace=0)
        if self._wineserver is not None:
            subprocess.run(["wineserver", "-k"], env=self.environment, capture_output=True,
                           timeout=30)
            peers.stop_child(self._wineserver)
            self._wineserver = None
        if self._xvfb is not None:
            peers.stop_child(self._xvfb)
            self._xvfb = None
        if self.work_dir and not os.environ.get("E2E_KEEP"):
            shutil.rmtree(self.work_dir, ignore_errors=True)

    def _start_xvfb(self):
        # Xvfb picks a free display itself and reports it on the pipe.
        read_end, write_end = os.pipe()
        self._xvfb = peers.start_child(["Xvfb", "-displayfd", str(write_end), "-screen", "0",
                                        "1024x768x24", "-nolisten", "tcp"],
                                       pass_fds=(write_end,), stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL)
        os.close(write_end)
        number = b""
        deadline = time.monotonic() + 15
        os.set_blocking(read_end, False)
        while not number.endswith(b"\n") and time.monotonic() < deadline:
            try:
                chunk = os.read(read_end, 16)
                if not chunk:
                    break
                number += chunk
            except BlockingIOError:
                time.sleep(0.05)
        os.close(read_end)
        if not number.strip().isdigit():
            raise HarnessError("Xvfb did not report a display")
        self.display = ":" + number.strip().decode()

    def _prepare_prefix(self):
        # What every test program of the prefix needs, shared with run-in-wine
        # (the prefix itself, a crash that ends its program at once, the
        # stand-ins), then what the desktop's boxes need. Several test
        # processes of one build may start at once: one prepares, the others
        # wait.
        subprocess.run([os.path.join(SOURCE_DIR, "tests", "wine", "prepare-prefix"),
                        self.build_dir, self.prefix], env=self.environment,
                       stdin=subprocess.DEVNULL, check=True, timeout=400)
        with open(self.prefix + ".lock", "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            stamp = os.path.join(self.prefix, ".e2e-ready")
            if not os.path.exists(stamp):
                self._create_prefix(stamp)

    def _create_prefix(self, stamp):
        environment = self.environment
        # Without a window manager a box takes 2 s to close unless Wine
        # leaves the windows unmanaged.
        subprocess.run(["wine", "reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed",
                        "/d", "N", "/f"], env=environment, capture_output=True, timeout=120)
        subprocess.run(["wineserver", "-w"], env=environment, capture_output=True, timeout=120)
        open(stamp, "w").close()

    # -- programs --

    def tool_path(self, name):
        return os.path.join(self.build_dir, "tools", name)

    def run_tool(self, name, arguments, timeout=60):
        """Runs a helper from <build dir>/tools with plain wine; returns the
        CompletedProcess (stdout as bytes). A repeatable call (harness_base.
        REPEATABLE_CALLS) that Wine ends silently is made again."""
        def run():
            result = subprocess.run(["wine", self.tool_path(name)] + list(arguments),
                                    env=self.environment, capture_output=True, timeout=timeout)
            return result.returncode, result.stdout, result.stderr, result
        if not repeatable(name, arguments):
            return run()[3]
        return repeat_when_ended_silently(run, "%s %s" % (name, " ".join(arguments)))

    def start_plain(self, program, arguments=(), environment=None, cwd=None, stdin=None):
        """Starts program (a Linux path) with plain wine, no console, in the
        current folder cwd (a Linux path; default the test's), with standard
        input from the file descriptor stdin (default none); see PlainRun."""
        run = PlainRun(self, program, arguments, environment or self.environment, cwd, stdin)
        self._runs.append(run)
        return run

    def start_watch(self, program, arguments, ready, environment=None, timeout=30):
        """Starts a helper that watches (plain wine, as start_plain) and waits
        until its output holds ready (bytes); returns the run. A watch that
        Wine ends with exit 1 and no output before it is ready has done
        nothing yet, so it is started again (repeat_when_ended_silently)."""
        def start():
            run = self.start_plain(program, arguments, environment)
            wait_until(lambda: ready in run.output() or not run.running(), timeout)
            if run.running() or ready in run.output():
                return 0, b"", b"", run
            result = run.wait()
            return result.exit_code, result.stdout, result.stderr, run
        run = repeat_when_ended_silently(start, "%s %s" % (os.path.basename(program),
                                                           " ".join(arguments)))
        run.wait_output(ready, timeout=1)
        return run

    def run(self, program, arguments=(), environment=None, timeout=60):
        """Runs program plainly to its end; returns the RunResult."""
        return self.start_plain(program, arguments, environment).wait(timeout)

    def start_console(self, program, arguments=(), environment=None, on_screen=False):
        """Starts program (a Linux path) in a Wine console; see ConsoleRun.
        on_screen leaves its output on the console (read with screen())
        instead of a file."""
        run = ConsoleRun(self, program, arguments, environment or self.environment, on_screen)
        self._runs.append(run)
        return run

    # -- windows and boxes --

    def xdotool(self, arguments, check=True):
        result = subprocess.run(["xdotool"] + [str(a) for a in arguments], env=self.environment,
                                capture_output=True, timeout=30)
        if check and result.returncode != 0:
            raise HarnessError("xdotool %s failed: %s" % (arguments, result.stderr.decode()))
        return result.stdout.decode()

    def find_window(self, name):
        """The X window id of the window named exactly name, or None."""
        result = subprocess.run(["xdotool", "search", "--name", "^%s$" % re.escape(name)],
                                env=self.environment, capture_output=True, timeout=30)
        windows = result.stdout.decode().split()
        return windows[-1] if windows else None

    def window_names(self):
        """Names of the visible windows on the display (for diagnostics)."""
        result = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", ".", "getwindowname",
                                 "%@"], env=self.environment, capture_output=True, timeout=30)
        return result.stdout.decode(errors="replace").splitlines()

    def describe_screen(self, run=None):
        """The windows shown, with the text of each message box, and the
        run's output so far: for failure messages."""
        parts = []
        for name in self.window_names():
            if name.startswith("e2e-console-"):
                parts.append("console %r" % name)
                continue
            result = self.run_tool("box_tool.exe", ["read", name, "500"], timeout=30)
            parts.append("window %r: %r" % (name, result.stdout.decode("latin-1")))
        if run is not None:
            ending = getattr(run, "_ending", lambda: "")()
            parts.append("output so far %r%s" % (run.output(), ending))
        return "; ".join(parts) or "no windows"

    def wait_window_gone(self, name, timeout=10):
        wait_until(lambda: self.find_window(name) is None, timeout,
                   message="window %r still shown" % name)

    def wait_box(self, caption, timeout=30, run=None):
        """Waits for the message box with this caption and reads it (Box).
        When none comes, the error names the windows shown, the texts of any
        other boxes and the output of run (if given)."""
        def shown():
            if run is not None and hasattr(run, "start_again_if_wine_ended_it"):
                run.start_again_if_wine_ended_it()
            return self.find_window(caption)
        if not wait_until(shown, timeout):
            raise HarnessError("no message box %r after %.0f s; %s"
                               % (caption, timeout, self.describe_screen(run)))
        result = self.run_tool("box_tool.exe", ["read", caption, "5000"], timeout=60)
        if result.returncode != 0:
            raise HarnessError("box %r could not be read (box_tool exit %d)" % (caption,
                                                                               result.returncode))
        header, _, text = result.stdout.partition(b"text:\n")
        fields = dict(line.split(": ", 1) if ": " in line else (line.rstrip(":"), "")
                      for line in header.decode().splitlines())
        return Box(self, caption, fields.get("icon"), fields.get("buttons", "").split(),
                   text.decode("latin-1"))

    def screenshot(self, path):
        """Saves the whole screen as an image (format from the file name)."""
        os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
        subprocess.run(["import", "-display", self.display, "-window", "root", path],
                       capture_output=True, timeout=30, check=True)

    # -- cleanup --

    def test_processes(self):
        """(Linux pid, command line) of the prefix's processes that are not
        Wine's own services: programs started by tests and their children."""
        found = []
        marker = ("WINEPREFIX=" + self.prefix).encode()
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open("/proc/%s/environ" % entry, "rb") as f:
                    if marker not in f.read().split(b"\0"):
                        continue
                with open("/proc/%s/cmdline" % entry, "rb") as f:
                    command = f.read().replace(b"\0", b" ").decode(errors="replace").strip()
            except OSError:
                continue
            if not command or "wineserver" in command:
                continue
            if any(name in command.lower() for name in _WINE_SYSTEM_PROGRAMS):
                continue
            found.append((int(entry), command))
        return found

    def pids_of(self, fragment):
        """Linux pids of the test processes whose command line holds fragment."""
        return [pid for pid, command in self.test_processes() if fragment in command]

    def end_test_processes(self, grace=5.0):
        """Waits up to grace seconds for the tests' programs to end, then kills
        those left (launchers, stand-ins, watchdogs, consoles). Returns the
        command lines that had to be killed."""
        for run in self._runs:
            if run.running():
                try:
                    run.process.wait(timeout=max(0.1, grace))
                except subprocess.TimeoutExpired:
                    pass
        self._runs = [run for run in self._runs if run.running()]
        wait_until(lambda: not self.test_processes(), grace, step=0.1)
        killed = []
        for run in self._runs:
            run.kill()
        self._runs = []
        for pid, command in self.test_processes():
            try:
                os.kill(pid, signal.SIGKILL)
                killed.append(command)
            except ProcessLookupError:
                pass
        # Until Wine has seen them gone, a killed launcher still holds its
        # one-per-user mutex, and the next test's launcher would be refused.
        wait_until(lambda: not self.test_processes(), 10, step=0.1)
        # Windows of killed programs vanish with their processes.
        return killed


def desktop():
    """The test process's one Desktop, started on first use and stopped when
    the process exits (also on SIGTERM)."""
    global _desktop
    if _desktop is None:
        _desktop = Desktop(build_dir())
        atexit.register(_stop_desktop)
        signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
        try:
            _desktop.start()
        except BaseException:
            _stop_desktop()
            raise
    return _desktop


def _stop_desktop():
    global _desktop
    if _desktop is not None:
        _desktop.stop()
        _desktop = None
