"""Programs under Wine as the tests run them: plainly (PlainRun, standard
output into a file, no console) or in a real Wine console (ConsoleRun), where
keys are typed, console events raised and the window closed. Made by
Desktop.start_plain() and Desktop.start_console()."""

import os
import subprocess
import sys
import tempfile
import time

from harness_base import HarnessError, wait_until, windows_path
import peers  # after harness_base, which imports test_env first


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

    def start_again_if_wine_ended_it(self):
        """Starts the run again when Wine ended it before its program began
        (ConsoleRun); other runs are left as they are."""

    def wait_output(self, expected, timeout=30):
        """Waits until standard output contains expected (bytes); returns it all."""
        def seen():
            self.start_again_if_wine_ended_it()
            return expected in self.output() and self.output()
        found = wait_until(seen, timeout)
        if not found:
            raise HarnessError("output %r not seen after %.1f s; got %r; running: %s%s; windows: %r"
                               % (expected, timeout, self.output(), self.running(),
                                  self._ending(), self._desktop.window_names()))
        return found

    def _ending(self):
        """How an ended run ended, for failure messages."""
        return "" if self.running() else " (exit %r)" % self.process.returncode


class PlainRun(_Run):
    """A program started with plain `wine`, its standard output and error
    going to files (read with output()). wait() gives the RunResult; the exit
    code is the program's own, which wine passes on."""

    def __init__(self, desktop, program, arguments, environment, cwd=None, stdin=None):
        self._directory = tempfile.mkdtemp(prefix="plain-", dir=desktop.work_dir)
        self._stdout_path = os.path.join(self._directory, "stdout")
        self._stderr_path = os.path.join(self._directory, "stderr")
        with open(self._stdout_path, "wb") as out, open(self._stderr_path, "wb") as err:
            process = peers.start_child(["wine", program] + list(arguments), env=environment,
                                        stdout=out, stderr=err, cwd=cwd,
                                        stdin=subprocess.DEVNULL if stdin is None else stdin)
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
    _restart_limit = 2

    def __init__(self, desktop, program, arguments, environment, on_screen=False):
        self._start = (program, list(arguments), environment, on_screen)
        self._on_screen = on_screen
        self._restarts = 0
        super().__init__(desktop, self._spawn(desktop), time.monotonic())

    def _spawn(self, desktop):
        """Starts the console with a title and files of its own; returns the process."""
        program, arguments, environment, on_screen = self._start
        ConsoleRun._counter += 1
        self.title = "e2e-console-%d-%d" % (os.getpid(), ConsoleRun._counter)
        self._directory = tempfile.mkdtemp(prefix="console-", dir=desktop.work_dir)
        self._stdout_path = os.path.join(self._directory, "stdout")
        self._exit_code_path = os.path.join(self._directory, "exit-code")
        self._window = None
        command = ["wineconsole", windows_path(desktop.tool_path("console_run.exe")), self.title,
                   "-" if on_screen else windows_path(self._stdout_path),
                   windows_path(self._exit_code_path), windows_path(program)] + arguments
        return peers.start_child(command, env=environment, stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL)

    def start_again_if_wine_ended_it(self):
        """Starts the run again, at most twice, when Wine ended it before its
        program began (tests/e2e/README.md): the console is gone with nothing
        on the program's output, and either console_run never came to start
        the program or the program's exit code is 1, which the launcher never
        uses. Nothing has happened in such a run yet. Called while a test waits
        for the run to go on (wait_output, Desktop.wait_box); a test that ends
        the run itself does not wait for it to go on."""
        if self._restarts == self._restart_limit or self.running():
            return
        began = self._console_process_id() is not None
        if began and (self._program_exit_code() != 1 or self._on_screen or self.output()):
            return
        sys.stderr.write("harness: console run %s ended before its program began%s; running it "
                         "again\n" % (self.title, self._ending()))
        sys.stderr.flush()
        self._restarts += 1
        self.process = self._spawn(self._desktop)
        self.started = time.monotonic()

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

    def ctrl_c(self):
        """Raises Ctrl+C in the console, as typing it does, without X:
        box_tool attaches to the console and writes the Ctrl+C key into its
        input, from where the console raises CTRL_C_EVENT in its programs
        (verified under Wine 8: the program's handler receives it). No focus,
        selection or box in front can take it. Returns the time.time() it
        was sent."""
        return self._console_event("c")

    def ctrl_break(self):
        """Raises Ctrl+Break in the console (GenerateConsoleCtrlEvent from
        box_tool, attached to it). Wine 8 refuses it (error 6), so there it
        raises HarnessError: no test under Wine can rely on it."""
        return self._console_event("break")

    def _console_event(self, kind):
        process_id = self._console_process_id(timeout=30)
        if not process_id:
            raise HarnessError("console %s has no helper to attach to" % self.title)
        sent = time.time()
        result = self._desktop.run_tool("box_tool.exe", ["console-event", process_id, kind],
                                        timeout=60)
        if result.returncode != 0 and self.running():
            raise HarnessError("box_tool console-event %s %s failed (exit %d): %s"
                               % (process_id, kind, result.returncode,
                                  result.stderr.decode(errors="replace")))
        return sent

    def type_ctrl_c(self, attempts=3, wait=10):
        """Types Ctrl+C on the keyboard until the program ends (see
        type_until_ended). Returns the time.time() of the last one typed."""
        return self.type_until_ended("ctrl+c", attempts, wait)

    def type_enter(self, attempts=3, wait=10):
        """Types ENTER on the keyboard until the program ends (at the monitor,
        ENTER ends it), as type_ctrl_c does Ctrl+C."""
        return self.type_until_ended("Return", attempts, wait)

    def type_until_ended(self, keysym, attempts=3, wait=10):
        """Types the key on the keyboard into the console until the program
        ends, at most attempts times, waiting wait seconds after each: for
        the whole runs whose subject is the key itself. Each attempt makes the
        console take the keys (take_keys(); nothing clicks into it, so no
        selection takes Ctrl+C as "copy"), then sends the key through XTEST
        to the focused window, as a real keyboard does. Returns the
        time.time() of the last key typed."""
        sent = time.time()
        for _ in range(attempts):
            if not self.running():
                break
            self.take_keys()
            sent = time.time()
            self._desktop.xdotool(["key", "--clearmodifiers", keysym], check=False)
            if wait_until(lambda: not self.running(), wait):
                break
        return sent

    def take_keys(self, timeout=20):
        """Makes the console the window that takes the keys: Wine's
        foreground window (box_tool foreground) and the X focus, checked with
        xdotool getwindowfocus. Under Wine either alone leaves the keys to a
        box in front. Never clicks inside the text: a click can start a
        selection."""
        window = self.window()
        def focused():
            self._desktop.run_tool("box_tool.exe", ["foreground", self.title, "2000"], timeout=30)
            if self._desktop.xdotool(["getwindowfocus"], check=False).strip() == window:
                return True
            self._desktop.xdotool(["windowfocus", "--sync", window], check=False)
            return False
        wait_until(focused, timeout, step=0.2,
                   message="console %s did not take the keyboard focus" % self.title)

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
        return RunResult(self._program_exit_code(), self.output(), b"", elapsed)

    def _program_exit_code(self):
        """The program's exit code that console_run wrote, or None."""
        try:
            with open(self._exit_code_path) as f:
                return int(f.read().strip())
        except (FileNotFoundError, ValueError):
            return None

    def _ending(self):
        if self.running():
            return ""
        return " (wineconsole exit %r, program exit %r, console_run started: %s)" % (
            self.process.returncode, self._program_exit_code(),
            self._console_process_id() is not None)
