"""Drives the real Windows launcher under Wine for the end-to-end tests.

One Desktop per test process: an Xvfb display of its own, the build's Wine
prefix (<build dir>/wineprefix, created once and reused) and a persistent
wineserver for it. Programs run either plainly (standard output into a
file, no console) or in a real Wine console (wineconsole), where keys and
Ctrl+C can be typed and the console window closed. Message boxes are found
by caption, read exactly (text, icon, buttons), photographed and closed.

    desktop = harness.desktop()           # started on first use, stopped at exit
    run = desktop.start_console(harness.launcher(), ["--socks-port", "1080"])
    run.wait_output(b"PASSED\\r\\n")
    run.press_enter()
    result = run.wait(timeout=30)         # RunResult(exit_code, stdout, ...)

    box = desktop.wait_box("Morvo Proxy Launcher")
    box.icon, box.text; box.screenshot(path); box.dismiss()

Test classes derive from LauncherTestCase (the desktop, the test environment
of tests/env, the user's proxy settings through Wine, a free local port).
See tests/e2e/README.md for the whole interface. Every wait has a time-out;
processes left behind by a test are ended by Desktop.end_test_processes().
"""

import argparse
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
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "env"))

import test_env  # noqa: E402  (first, before any thread: it enters a mount namespace)
import peers  # noqa: E402
import transcripts  # noqa: E402

windows_path = test_env.windows_path  # "Z:\\..." of a Linux path
ERROR_CAPTION = transcripts.ERROR_CAPTION

LAUNCHER_NAME = "LumaretDesktopProxyLauncher.exe"

# Wine's own processes that live as long as the prefix's server and are no
# test's business.
_WINE_SYSTEM_PROGRAMS = ("services.exe", "winedevice.exe", "plugplay.exe", "explorer.exe",
                         "rpcss.exe", "svchost.exe", "wineboot.exe", "winemenubuilder")

_build_dir = None
_desktop = None


class HarnessError(AssertionError):
    """A wait ran out or a helper failed: the test fails with this message."""


# ---- build tree ----

def parse_arguments(argv=None):
    """Takes --build-dir DIR (or $E2E_BUILD_DIR) out of argv for the tests and
    returns the remaining arguments for unittest (argv[0] first)."""
    global _build_dir
    argv = list(sys.argv if argv is None else argv)
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--build-dir", default=os.environ.get("E2E_BUILD_DIR"))
    known, rest = parser.parse_known_args(argv[1:])
    if not known.build_dir:
        sys.exit("usage: %s --build-dir DIR [unittest arguments] (or set E2E_BUILD_DIR)" % argv[0])
    _build_dir = os.path.abspath(known.build_dir)
    return argv[:1] + rest


def build_dir():
    """The build tree under test (set by parse_arguments)."""
    if _build_dir is None:
        raise HarnessError("harness.parse_arguments() was not called")
    return _build_dir


def launcher(build="product"):
    """Path of the launcher: "product" (real host names) or "testhosts"
    (host names served by the tests, stand-ins beside it)."""
    directory = build_dir() if build == "product" else os.path.join(build_dir(), build)
    return os.path.join(directory, LAUNCHER_NAME)


def tool(name):
    """Path of a test helper program in <build dir>/tools."""
    return os.path.join(build_dir(), "tools", name)


def parse_registry_values(text):
    """Reads the output of `regdump get` into {name: None when absent, else
    (type, exact bytes)}."""
    values = {}
    for line in text.splitlines():
        # Names may hold blanks ("Test VPN"); the fields after them do not.
        if line.endswith(" absent"):
            values[line[:-len(" absent")]] = None
        else:
            name, kind, _size, data = line.rsplit(" ", 3)
            values[name] = (int(kind), b"" if data == "-" else bytes.fromhex(data))
    return values


def wait_until(condition, timeout, step=0.05, message=None):
    """Polls condition() until it returns a true value, which is returned.
    Raises HarnessError(message) after timeout seconds when message is given,
    else returns the last (false) value."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value or time.monotonic() >= deadline:
            break
        time.sleep(step)
    if not value and message:
        raise HarnessError("%s (after %.1f s)" % (message, timeout))
    return value


# ---- results ----

class RunResult:
    """How a program run ended: exit_code (None when unknown, e.g. the console
    was closed under it), stdout (bytes, exact), stderr (bytes; plain runs
    only) and elapsed seconds."""

    def __init__(self, exit_code, stdout, stderr, elapsed):
        self.exit_code = exit_code
        self.stdout = stdout
        self.stderr = stderr
        self.elapsed = elapsed

    def __repr__(self):
        return "RunResult(exit_code=%r, elapsed=%.1f, stdout=%r)" % (self.exit_code, self.elapsed,
                                                                     self.stdout)


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


# ---- runs ----

class _Run:
    def __init__(self, desktop, process, started):
        self._desktop = desktop
        self.process = process
        self.started = started

    def running(self):
        return self.process.poll() is None

    def kill(self):
        """Ends the run's whole process group at once."""
        peers.stop_child(self.process, grace=0.5)

    def output(self):
        """Standard output written so far to the run's file (exact bytes,
        CRLF line ends)."""
        try:
            with open(self._stdout_path, "rb") as f:
                return f.read()
        except FileNotFoundError:
            return b""

    def wait_output(self, expected, timeout=30):
        """Waits until standard output contains expected (bytes); returns it all."""
        found = wait_until(lambda: expected in self.output() and self.output(), timeout)
        if not found:
            raise HarnessError("output %r not seen after %.1f s; got %r; running: %s; windows: %r"
                               % (expected, timeout, self.output(), self.running(),
                                  self._desktop.window_names()))
        return found


class PlainRun(_Run):
    """A program started with plain `wine`, its standard output and error
    going to files (read with output()). wait() gives the RunResult; the exit
    code is the program's own, which wine passes on."""

    def __init__(self, desktop, program, arguments, environment, cwd=None):
        self._directory = tempfile.mkdtemp(prefix="plain-", dir=desktop.work_dir)
        self._stdout_path = os.path.join(self._directory, "stdout")
        self._stderr_path = os.path.join(self._directory, "stderr")
        with open(self._stdout_path, "wb") as out, open(self._stderr_path, "wb") as err:
            process = peers.start_child(["wine", program] + list(arguments), env=environment,
                                        stdout=out, stderr=err, cwd=cwd)
        super().__init__(desktop, process, time.monotonic())

    def wait(self, timeout=60):
        try:
            self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            raise HarnessError("program still running after %.0f s; output so far %r"
                               % (timeout, self.output()))
        elapsed = time.monotonic() - self.started
        with open(self._stderr_path, "rb") as f:
            stderr = f.read()
        return RunResult(self.process.returncode, self.output(), stderr, elapsed)


class ConsoleRun(_Run):
    """A program in a real Wine console window (wineconsole), started through
    tests/tools/console_run.exe, which names the window (title), sends the
    program's standard output to a file and writes its exit code to another.

    Keys go to the console window with xdotool: press_enter(), press(keysym),
    type_text(text), ctrl_c(); close_window() closes the console as the
    user's close button does."""

    _counter = 0

    def __init__(self, desktop, program, arguments, environment, on_screen=False):
        ConsoleRun._counter += 1
        self.title = "e2e-console-%d-%d" % (os.getpid(), ConsoleRun._counter)
        self._directory = tempfile.mkdtemp(prefix="console-", dir=desktop.work_dir)
        self._stdout_path = os.path.join(self._directory, "stdout")
        self._exit_code_path = os.path.join(self._directory, "exit-code")
        command = ["wineconsole", windows_path(desktop.tool_path("console_run.exe")), self.title,
                   "-" if on_screen else windows_path(self._stdout_path),
                   windows_path(self._exit_code_path), windows_path(program)] + list(arguments)
        process = peers.start_child(command, env=environment, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL)
        super().__init__(desktop, process, time.monotonic())
        self._window = None

    def window(self, timeout=20):
        """The X window id of the console (found by its title)."""
        if self._window is None:
            self._window = wait_until(lambda: self._desktop.find_window(self.title), timeout,
                                      message="console window %s did not appear" % self.title)
        return self._window

    def _console_process_id(self, timeout=0):
        """The Windows process id of console_run, attached to the console."""
        def read():
            try:
                with open(self._exit_code_path + ".pid") as f:
                    return f.read().strip()
            except FileNotFoundError:
                return None
        return wait_until(read, timeout) if timeout else read()

    def screen(self):
        """The console's screen as the user sees it (text, one line per row
        up to the cursor), read by box_tool from inside the console."""
        process_id = self._console_process_id()
        if not process_id:
            return ""
        result = self._desktop.run_tool("box_tool.exe", ["screen", process_id, "0"], timeout=30)
        return result.stdout.decode("utf-8", errors="replace") if result.returncode == 0 else ""

    def press(self, *keysyms):
        """Types X key names (e.g. "Return", "a", "ctrl+c") into the console.

        A key that ends the program (Ctrl+C, or ENTER at the monitor) can take
        the console window with it between the key's press and its release,
        which then fails with BadWindow: when the console ends, the key was
        delivered. Only when the console still runs under a new window (a
        loaded machine can show it late) is the key sent again."""
        try:
            self._desktop.xdotool(["key", "--window", self.window()] + list(keysyms))
            return
        except HarnessError as error:
            if "BadWindow" not in str(error):
                raise
        stale = self._window
        self._window = None
        replaced = wait_until(lambda: not self.running() or self._replacement_window(stale), 20,
                              message="console window %s neither ended nor came back" % self.title)
        if self.running() and replaced:
            self._desktop.xdotool(["key", "--window", self.window()] + list(keysyms))

    def _replacement_window(self, stale):
        window = self._desktop.find_window(self.title)
        return window if window and window != stale else None

    def press_enter(self):
        self.press("Return")

    def type_text(self, text):
        self._desktop.xdotool(["type", "--window", self.window(), text])

    def ctrl_c(self, attempts=3, wait=5):
        """Types Ctrl+C into the console until the program ends, at most
        attempts times, waiting wait seconds after each. On a loaded machine a
        box of the program can take the keys from the console just as they are
        sent, so each attempt first makes the console take keys (activate()).
        Returns the time.time() of the last Ctrl+C sent."""
        sent = time.time()
        for _ in range(attempts):
            try:
                self.activate()
            except HarnessError:
                if not self.running():
                    break
                raise
            sent = time.time()
            self.press("ctrl+c")
            if wait_until(lambda: not self.running(), wait):
                break
        return sent

    def focus(self):
        """Gives the console the keyboard focus. (A mouse click would start
        a selection in the console, which then swallows keys.)"""
        self._desktop.xdotool(["windowfocus", "--sync", self.window()])

    def activate(self):
        """Makes the console take keys while a message box is in front, where
        focus() is not enough: under Wine the first click only activates the
        window, the second gives it the keys."""
        for _ in range(2):
            self._desktop.xdotool(["mousemove", "--window", self.window(), "5", "5", "click", "1"])
            time.sleep(0.5)

    def close_window(self):
        """Closes the console window (WM_CLOSE, as its close button)."""
        self._desktop.run_tool("box_tool.exe", ["close", self.title, "5000"], timeout=30)

    def input_mode(self):
        """The console's input mode (GetConsoleMode flags) as the ended
        program left it, or None when it could not be read."""
        try:
            with open(self._exit_code_path + ".input-mode") as f:
                return int(f.read().strip())
        except (FileNotFoundError, ValueError):
            return None

    def wait(self, timeout=60):
        """Waits for the console to end. exit_code is None when the program
        did not end by itself (e.g. the console was closed)."""
        try:
            self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            raise HarnessError("console run still going after %.0f s; output so far %r"
                               % (timeout, self.output()))
        elapsed = time.monotonic() - self.started
        exit_code = None
        try:
            with open(self._exit_code_path) as f:
                exit_code = int(f.read().strip())
        except (FileNotFoundError, ValueError):
            pass
        return RunResult(exit_code, self.output(), b"", elapsed)


# ---- the desktop ----

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
        self._runs = []

    @property
    def environment(self):
        """Environment for Wine programs of this desktop (a fresh copy)."""
        environment = dict(os.environ)
        environment.update({
            "WINEPREFIX": self.prefix,
            "WINEDEBUG": os.environ.get("E2E_WINEDEBUG", "-all"),
            "WINEDLLOVERRIDES": "mscoree,mshtml=",
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
        if not self._wineserver_running():
            self._wineserver = peers.start_child(["wineserver", "-f", "-p"], env=self.environment,
                                                 stdout=subprocess.DEVNULL,
                                                 stderr=subprocess.DEVNULL)
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
        # Several test processes of one build may start at once: one creates
        # the prefix, the others wait.
        with open(self.prefix + ".lock", "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            stamp = os.path.join(self.prefix, ".e2e-ready")
            if not os.path.exists(stamp):
                self._create_prefix(stamp)
            # The launcher takes PowerShell from the system folder only: the
            # build's stand-in goes there (again after each build).
            subprocess.run([os.path.join(SOURCE_DIR, "tests", "wine", "install-standins"),
                            self.build_dir, self.prefix], check=True, timeout=60)

    def _create_prefix(self, stamp):
        environment = self.environment
        subprocess.run(["wineboot", "-i"], env=environment, capture_output=True, timeout=300)
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
        CompletedProcess (stdout as bytes)."""
        return subprocess.run(["wine", self.tool_path(name)] + list(arguments), env=self.environment,
                              capture_output=True, timeout=timeout)

    def start_plain(self, program, arguments=(), environment=None, cwd=None):
        """Starts program (a Linux path) with plain wine, no console, in the
        current folder cwd (a Linux path; default the test's); see PlainRun."""
        run = PlainRun(self, program, arguments, environment or self.environment, cwd)
        self._runs.append(run)
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
            parts.append("output so far %r" % run.output())
        return "; ".join(parts) or "no windows"

    def wait_window_gone(self, name, timeout=10):
        wait_until(lambda: self.find_window(name) is None, timeout,
                   message="window %r still shown" % name)

    def wait_box(self, caption, timeout=30, run=None):
        """Waits for the message box with this caption and reads it (Box).
        When none comes, the error names the windows shown, the texts of any
        other boxes and the output of run (if given)."""
        if not wait_until(lambda: self.find_window(caption), timeout):
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


# ---- the user's proxy settings ----

INTERNET_SETTINGS = r"Software\Microsoft\Windows\CurrentVersion\Internet Settings"
BACKUP = r"Software\MorvoProxyLauncher\ProxyBackup"
# While a backup is complete, the next logon's restore command stands here.
RUN_ONCE = r"Software\Microsoft\Windows\CurrentVersion\RunOnce"
RUN_ONCE_VALUE = "MorvoProxyLauncherRestore"
SETTING_NAMES = ("ProxyEnable", "ProxyServer", "ProxyOverride")
REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD = 1, 2, 3, 4


def dword(value):
    return (REG_DWORD, value.to_bytes(4, "little"))


def text(kind, value):
    return (kind, value.encode() + b"\0")


def stored_text(kind, value):
    """A string value as the registry stores it: UTF-16 with its terminator."""
    return (kind, value.encode("utf-16-le") + b"\0\0")


# The user's own settings: a disabled proxy with an expandable server of
# theirs and no override list.
USER_VALUES = {
    "ProxyEnable": dword(0),
    "ProxyServer": text(REG_EXPAND_SZ, "%CORP_PROXY%:3128"),
    "ProxyOverride": None,
}


def launcher_values(port):
    return {
        "ProxyEnable": dword(1),
        "ProxyServer": text(REG_SZ, "http=127.0.0.1:%d;https=127.0.0.1:%d" % (port, port)),
        "ProxyOverride": text(REG_SZ, "<local>;localhost;127.0.0.1"),
    }


# Each connection's proxy store, which WinHTTP's view is read from, and the
# two VPN or dial-up entries that the test launcher lists.
CONNECTIONS = INTERNET_SETTINGS + r"\Connections"
RAS_ENTRIES = ("Test VPN", "Test Dial-up")


def connection_value(flags, proxy="", bypass="", script_url="", counter=1):
    """A store value in the layout Windows keeps (REG_BINARY): version 0x46,
    counter, flags (1 direct, 2 proxy, 4 setup script, 8 auto-detect), three
    length-prefixed texts, then 32 zero bytes."""
    data = b"".join(n.to_bytes(4, "little") for n in (0x46, counter, flags))
    for field in (proxy, bypass, script_url):
        data += len(field).to_bytes(4, "little") + field.encode()
    return (REG_BINARY, data + bytes(32))


PAC_URL = "http://wpad.corp.test/proxy.pac"
# The user's Connections values: the LAN detects its proxy or takes a setup
# script, as Windows sets it out of the box; "Test VPN" has a proxy of its own;
# "Test Dial-up" has no value. USER_VIEW is WinHTTP's view of them.
USER_CONNECTIONS = {
    "DefaultConnectionSettings": connection_value(0xD, script_url=PAC_URL, counter=9),
    "SavedLegacySettings": connection_value(0xD, script_url=PAC_URL, counter=8),
    "Test VPN": connection_value(0x3, "vpn-proxy.corp.test:8080", "<local>", counter=3),
}
USER_VIEW = "auto-detect=1 script=%s proxy= bypass=\n" % PAC_URL


def launcher_view(port):
    """regdump proxy-view while the launcher's values are in force."""
    return "auto-detect=0 script= proxy=http=127.0.0.1:%d;https=127.0.0.1:%d bypass=%s\n" % (
        port, port, "<local>;localhost;127.0.0.1")


def restore_command(launcher_path):
    """The RunOnce value that the launcher writes while its values are applied."""
    return text(REG_SZ, '"%s" --restore-watchdog 0' % windows_path(launcher_path))


class Wine:
    """The desktop's prefix seen with one environment (a test's): the user's
    registry through regdump (exact types and bytes), plain runs and
    programs started without a console. launcher is the test-hosts one."""

    def __init__(self, desktop, environment):
        self.desktop = desktop
        self.environment = environment
        self.launcher = launcher("testhosts")
        self.regdump = tool("regdump.exe")

    def run(self, program, arguments=(), environment=None, timeout=60):
        """Runs a Windows program plainly to its end (RunResult)."""
        return self.desktop.run(program, arguments, environment or self.environment, timeout)

    def reg(self, *arguments):
        result = self.run(self.regdump, arguments)
        if result.exit_code != 0:
            raise HarnessError("regdump %s: exit %d" % (arguments, result.exit_code))
        return result.stdout.decode()

    def read(self, key, names):
        return parse_registry_values(self.reg("get", key, *names))

    def read_stored(self, key, names):
        return parse_registry_values(self.reg("get-stored", key, *names))

    def write(self, key, values, stored=False):
        for name, value in values.items():
            if value is None:
                self.reg("delete", key, name)
            else:
                self.reg("set-stored" if stored else "set", key, name, str(value[0]),
                         value[1].hex() or "-")

    def user_values(self, stored=False):
        """The three values as a program using the 8-bit calls sees them, or
        as stored (strings in UTF-16)."""
        return (self.read_stored if stored else self.read)(INTERNET_SETTINGS, SETTING_NAMES)

    def reset(self, values):
        """The user's values, no backup and no restore command."""
        self.reg("delete-key", BACKUP)
        self.reg("delete", RUN_ONCE, RUN_ONCE_VALUE)
        self.write(INTERNET_SETTINGS, values)

    def connections(self):
        """Every value under Connections: {name: (type, bytes)}."""
        return parse_registry_values(self.reg("list", CONNECTIONS))

    def set_connections(self, values):
        """The Connections values exactly these (None: absent)."""
        self.reg("delete-key", CONNECTIONS)
        self.write(CONNECTIONS, {name: value for name, value in values.items() if value})

    def proxy_view(self):
        """The user's proxy as WinHTTP reports it (regdump proxy-view)."""
        return self.reg("proxy-view")

    def backup_exists(self):
        return self.reg("key", BACKUP).strip() == "present"

    def run_once(self):
        """The RunOnce restore command (type, bytes), or None."""
        return self.read(RUN_ONCE, [RUN_ONCE_VALUE])[RUN_ONCE_VALUE]

    def spawn_detached(self, command, environment=None, output=None):
        """Starts a Windows command line with no console, its standard output
        and error going to the Linux file output if given. Returns its process
        id text."""
        arguments = [command] + ([windows_path(output)] if output else [])
        result = self.run(self.regdump, ["spawn-detached"] + arguments, environment)
        if result.exit_code != 0:
            raise HarnessError("spawn-detached %s: exit %d" % (command, result.exit_code))
        return result.stdout.decode().strip()


# ---- the tests' base ----

DIRECT_ADDRESS = "198.51.100.7"
EXIT_ADDRESS = "203.0.113.7"


class LauncherTestCase(unittest.TestCase):
    """Set-up shared by the end-to-end tests. Each test gets self.desktop,
    self.env (tests/env's TestEnvironment, entered for the test) and
    self.environment (the variables for Wine programs that use it), self.wine
    (Wine with that environment), self.http_port (free a moment ago) and
    self.work (a folder of its own; path(name) is a file in it). tearDown
    creates the "stop" file there (an app stand-in given standin_environment
    ends on it) and ends the test processes.

    Hooks (class attributes): test_environment = False for no self.env
    (self.environment is then the desktop's); user_values = {...} resets the
    user's settings to these, with no backup or restore command, before each
    test; end_grace, the seconds tearDown gives programs to end by themselves."""

    test_environment = True
    user_values = None
    end_grace = 5

    def setUp(self):
        self.desktop = desktop()
        self.environment = self.desktop.environment
        if self.test_environment:
            self.env = test_env.TestEnvironment(build_dir())
            self.env.__enter__()
            self.addCleanup(self.env.__exit__, None, None, None)
            self.environment = self.env.child_environment(self.environment)
        self.wine = Wine(self.desktop, self.environment)
        if self.user_values is not None:
            self.wine.reset(self.user_values)
        self.http_port = peers.free_port()
        self.work = os.path.join(self.desktop.work_dir, self.id().rsplit(".", 1)[-1])
        os.makedirs(self.work)

    def tearDown(self):
        open(self.path("stop"), "w").close()
        self.desktop.end_test_processes(grace=self.end_grace)

    def path(self, name):
        return os.path.join(self.work, name)

    def standin_environment(self, **settings):
        """self.environment with the stand-ins' logs and stop file in
        self.work and their settings (LUMARET_TEST_<NAME>)."""
        environment = dict(self.environment, **{
            "LUMARET_TEST_POWERSHELL_LOG": windows_path(self.path("powershell.log")),
            "LUMARET_TEST_APP_LOG": windows_path(self.path("app.log")),
            "LUMARET_TEST_APP_STOP_FILE": windows_path(self.path("stop")),
            "LUMARET_TEST_APP_TIMEOUT_MS": "120000",
        })
        for name, value in settings.items():
            environment["LUMARET_TEST_" + name.upper()] = str(value)
        return environment

    def serve_addresses(self, exit_line_end="\n"):
        """The address service answers DIRECT_ADDRESS directly and
        EXIT_ADDRESS through the SOCKS5 server. Returns the direct address as
        the launcher's console shows it."""
        self.env.set_address("direct", 200, (DIRECT_ADDRESS + "\n").encode())
        self.env.set_address("proxied", 200, (EXIT_ADDRESS + exit_line_end).encode())
        return DIRECT_ADDRESS if self.env.direct_available else "UNAVAILABLE"

    def start_microsocks(self, **login):
        """microsocks that reaches the app and address servers by name."""
        socks = peers.Microsocks(hosts=self.env.hosts_on_port_443(), **login)
        self.addCleanup(socks.stop)
        return socks

    def watchdog_pids(self):
        return self.desktop.pids_of("--restore-watchdog")

    def kill_watchdog(self):
        """Kills the run's one watchdog, so that only the launcher can restore."""
        watchdogs = self.watchdog_pids()
        self.assertEqual(len(watchdogs), 1)
        os.kill(watchdogs[0], signal.SIGKILL)

    def assert_user_values_back(self, within=0):
        """USER_VALUES back (within seconds), no backup, no restore command."""
        if within:
            wait_until(lambda: self.wine.user_values() == USER_VALUES, within)
        self.assertEqual(self.wine.user_values(), USER_VALUES)
        self.assertFalse(self.wine.backup_exists())
        self.assertIsNone(self.wine.run_once())
