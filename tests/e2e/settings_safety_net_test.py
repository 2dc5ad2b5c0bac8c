"""Whole-program tests of the user's proxy settings under Wine: the watchdog
mode, the launcher killed with and without its watchdog, a second launcher,
failures before the settings are applied, and a real end of the session.

Each test sets the user's three Internet Settings values, runs the test-hosts
launcher against the test environment and reads the values back with their
exact types and bytes (tests/tools/regdump.exe).

    settings_safety_net_test.py --build-dir DIR [unittest arguments]
"""

import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "env"))

import test_env  # noqa: E402  (first: it must see no thread yet)
import harness  # noqa: E402  (the regdump output reader)

RUN_IN_WINE = os.path.join(SOURCE_DIR, "tests", "wine", "run-in-wine")
INTERNET_SETTINGS = r"Software\Microsoft\Windows\CurrentVersion\Internet Settings"
BACKUP = r"Software\MorvoProxyLauncher\ProxyBackup"
# While a backup is complete, the next logon's restore command stands here.
RUN_ONCE = r"Software\Microsoft\Windows\CurrentVersion\RunOnce"
RUN_ONCE_VALUE = "MorvoProxyLauncherRestore"
NAMES = ("ProxyEnable", "ProxyServer", "ProxyOverride")
REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD = 1, 2, 3, 4
ALREADY_RUNNING_TEXT = ("Lumaret Desktop Proxy Launcher is already running.\\n\\nUse the launcher "
                        "window that is already open, or press ENTER in it to stop it")

BUILD_DIR = None


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


def restore_command(launcher):
    """The RunOnce value that the launcher writes while its values are applied."""
    return text(REG_SZ, '"%s" --restore-watchdog 0' % windows_path(launcher))


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Wine:
    """The build's prefix and the programs in it."""

    def __init__(self, build_dir, environment):
        self.build_dir = build_dir
        self.environment = environment
        self.launcher = os.path.join(build_dir, "testhosts", "LumaretDesktopProxyLauncher.exe")
        self.regdump = os.path.join(build_dir, "tools", "regdump.exe")

    def run(self, arguments, environment=None, timeout=60):
        """Runs a Windows program to its end. Its output goes through files:
        Wine's service processes, started by the first program, would keep a
        pipe open."""
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            process = subprocess.run([RUN_IN_WINE] + arguments,
                                     env=environment or self.environment,
                                     stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                     timeout=timeout)
            out.seek(0)
            err.seek(0)
            return subprocess.CompletedProcess(process.args, process.returncode, out.read(),
                                               err.read())

    def reg(self, *arguments):
        result = self.run([self.regdump] + list(arguments))
        if result.returncode != 0:
            raise AssertionError("regdump %s: exit %d" % (arguments, result.returncode))
        return result.stdout.decode()

    def read(self, key, names):
        return harness.parse_registry_values(self.reg("get", key, *names))

    def read_stored(self, key, names):
        return harness.parse_registry_values(self.reg("get-stored", key, *names))

    def spawn_detached(self, command, environment=None, output=None):
        """Starts a Windows command line with no console, its standard output
        and error going to the Linux file output if given. Returns its process
        id text."""
        arguments = [command] + ([windows_path(output)] if output else [])
        result = self.run([self.regdump, "spawn-detached"] + arguments, environment)
        if result.returncode != 0:
            raise AssertionError("spawn-detached %s: exit %d" % (command, result.returncode))
        return result.stdout.decode().strip()

    def user_values(self, stored=False):
        """The three values as a program using the 8-bit calls sees them, or
        as stored (strings in UTF-16)."""
        if stored:
            return harness.parse_registry_values(self.reg("get-stored", INTERNET_SETTINGS, *NAMES))
        return self.read(INTERNET_SETTINGS, NAMES)

    def write(self, key, values, stored=False):
        for name, value in values.items():
            if value is None:
                self.reg("delete", key, name)
            else:
                self.reg("set-stored" if stored else "set", key, name, str(value[0]),
                         value[1].hex() or "-")

    def backup_exists(self):
        return self.reg("key", BACKUP).strip() == "present"

    def run_once(self):
        """The RunOnce restore command (type, bytes), or None."""
        return self.read(RUN_ONCE, [RUN_ONCE_VALUE])[RUN_ONCE_VALUE]

    def kill_all(self):
        """Ends every process of this test's own prefix, then keeps its server
        running between calls (a fresh server costs seconds per call)."""
        subprocess.run(["wineserver", "-k"], env=self.environment, capture_output=True)
        subprocess.run(["wineserver", "-w"], env=self.environment, capture_output=True)
        subprocess.run(["wineserver", "-p"], env=self.environment, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def stop_server(self):
        subprocess.run(["wineserver", "-k"], env=self.environment, capture_output=True)
        subprocess.run(["wineserver", "-w"], env=self.environment, capture_output=True)


def unix_pids_of(prefix, fragment):
    """Linux pids of the Wine processes of prefix whose command line holds fragment."""
    pids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                command = f.read().replace(b"\0", b" ").decode(errors="replace")
            with open("/proc/%s/environ" % entry, "rb") as f:
                environment = f.read().split(b"\0")
        except OSError:
            continue
        if fragment in command and ("WINEPREFIX=" + prefix).encode() in environment:
            pids.append(int(entry))
    return pids


def wait_until(condition, timeout, step=0.1):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(step)
    return condition()


class SettingsSafetyNet(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.env = test_env.TestEnvironment(BUILD_DIR)
        cls.env.__enter__()
        environment = cls.env.child_environment()
        # The app stand-in that the launch starts ends soon by itself.
        environment["LUMARET_TEST_APP_TIMEOUT_MS"] = "3000"
        # A display of the tests' own for every Wine process: the first one
        # to start decides whether the prefix's desktop can show windows.
        cls.xvfb = subprocess.Popen(["Xvfb", "-displayfd", "1", "-screen", "0", "1024x768x24",
                                     "-nolisten", "tcp"], stdout=subprocess.PIPE,
                                    stderr=subprocess.DEVNULL)
        environment["DISPLAY"] = ":" + cls.xvfb.stdout.readline().decode().strip()
        cls.prefix = environment["WINEPREFIX"]
        cls.wine = Wine(BUILD_DIR, environment)
        cls.wine.kill_all()

    @classmethod
    def tearDownClass(cls):
        cls.wine.stop_server()
        cls.xvfb.terminate()
        cls.xvfb.wait()
        cls.env.__exit__(None, None, None)

    def setUp(self):
        self.wine.reg("delete-key", BACKUP)
        self.wine.reg("delete", RUN_ONCE, RUN_ONCE_VALUE)
        self.wine.write(INTERNET_SETTINGS, USER_VALUES)
        self.processes = []
        self.output_dir = tempfile.TemporaryDirectory(prefix="lumaret-settings-")

    def tearDown(self):
        for process in self.processes:
            if process.poll() is None:
                process.kill()
                process.wait()
        self.wine.kill_all()
        self.output_dir.cleanup()

    # ---- helpers ----

    def start_run(self, port, launcher=None, environment=None):
        """Starts a whole run without a console. Returns the process and the
        path of its standard output."""
        output = os.path.join(self.output_dir.name, "launcher-%d.txt" % port)
        with open(output, "wb") as out:
            process = subprocess.Popen(
                [RUN_IN_WINE, launcher or self.wine.launcher, "--socks-port",
                 str(self.env.socks_port), "--http-port", str(port)],
                env=environment or self.wine.environment, stdout=out, stderr=subprocess.DEVNULL)
        self.processes.append(process)
        return process, output

    def start_launcher(self, port, launcher=None, environment=None):
        """Starts a whole run without a console and waits for the watchdog
        line. Returns the process and the path of its standard output."""
        process, output = self.start_run(port, launcher, environment)

        def watchdog_line():
            with open(output, "rb") as f:
                return b"Restore watchdog:" in f.read()
        self.assertTrue(wait_until(watchdog_line, 90), self.read_output(output))
        self.assertIn(b"      Restore watchdog: ACTIVE", self.read_output_bytes(output))
        self.assertEqual(self.wine.user_values(), launcher_values(port))
        if launcher is None:
            self.assertEqual(self.wine.run_once(), restore_command(self.wine.launcher))
        return process, output

    def read_output_bytes(self, path):
        with open(path, "rb") as f:
            return f.read()

    def read_output(self, path):
        return self.read_output_bytes(path).decode(errors="replace")

    def run_closing_boxes(self, arguments, extra_environment=None):
        """Runs the launcher to its end, pressing OK on each of its boxes.
        Returns the exit code, standard output and standard error (which holds
        the text of each box)."""
        environment = dict(self.wine.environment, WINEDEBUG="-all,+msgbox",
                           **(extra_environment or {}))
        out_path = os.path.join(self.output_dir.name, "closing-out.txt")
        err_path = os.path.join(self.output_dir.name, "closing-err.txt")
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            process = subprocess.Popen([RUN_IN_WINE, self.wine.launcher] + arguments,
                                       env=environment, stdout=out, stderr=err)
        self.processes.append(process)
        deadline = time.monotonic() + 120
        while process.poll() is None and time.monotonic() < deadline:
            found = subprocess.run(["xdotool", "search", "--name", "^Morvo Proxy Launcher$"],
                                   env=environment, capture_output=True)
            if found.stdout.split():
                # Pressed inside Wine: a Return sent to the box misses it while
                # another program's box (a first launcher's outcome) is in front.
                self.wine.run([os.path.join(BUILD_DIR, "tools", "box_tool.exe"), "click",
                               "Morvo Proxy Launcher", "5000"])
            time.sleep(0.3)
        code = process.wait(timeout=60)
        return code, self.read_output_bytes(out_path), self.read_output_bytes(err_path)

    def watchdog_pids(self):
        return unix_pids_of(self.prefix, "--restore-watchdog")

    def leave_complete_backup(self):
        """The registry as a launcher leaves it that died with its values
        applied (one of an earlier version: no owner recorded)."""
        self.wine.write(BACKUP, {
            "ProxyEnablePresent": dword(1), "ProxyEnableValue": USER_VALUES["ProxyEnable"],
            "ProxyServerPresent": dword(1), "ProxyServerValue": USER_VALUES["ProxyServer"],
            "ProxyOverridePresent": dword(0), "Active": dword(1)})
        self.wine.write(INTERNET_SETTINGS, launcher_values(18118))
        self.wine.write(RUN_ONCE, {RUN_ONCE_VALUE: restore_command(self.wine.launcher)})

    def run_watchdog_mode(self, fault=None):
        """Runs "--restore-watchdog 0" (the logon's command), optionally with
        one registry call failing (the test build's LUMARET_TEST_REGISTRY_FAULT)."""
        environment = dict(self.wine.environment)
        if fault:
            environment["LUMARET_TEST_REGISTRY_FAULT"] = fault
        result = self.wine.run([self.wine.launcher, "--restore-watchdog", "0"], environment)
        self.assertEqual(result.returncode, 0)
        self.assertEqual(result.stdout, b"")

    def assert_backup_kept(self, user_values):
        self.assertEqual(self.wine.user_values(), user_values)
        self.assertEqual(self.wine.read(BACKUP, ["Active"]), {"Active": dword(1)})
        self.assertEqual(self.wine.run_once(), restore_command(self.wine.launcher))

    def assert_user_values_back(self):
        self.assertEqual(self.wine.user_values(), USER_VALUES)
        self.assertFalse(self.wine.backup_exists())
        self.assertIsNone(self.wine.run_once())

    # ---- the watchdog mode ----

    def test_watchdog_mode_without_a_process_to_wait_for_restores_at_once(self):
        ended_id = self.wine.spawn_detached(windows_path(self.wine.regdump) + " sleep 0")
        time.sleep(1)
        for argument in ("0", "--help", ended_id):
            with self.subTest(argument=argument):
                self.leave_complete_backup()
                started = time.monotonic()
                result = self.wine.run([self.wine.launcher, "--restore-watchdog", argument])
                self.assertEqual(result.returncode, 0)
                self.assertEqual(result.stdout, b"")
                self.assertLess(time.monotonic() - started, 3)
                self.assert_user_values_back()

    def test_watchdog_mode_restores_only_after_the_process_ends(self):
        self.leave_complete_backup()
        launcher_id = self.wine.spawn_detached(windows_path(self.wine.regdump) + " sleep 4000")
        watchdog = subprocess.Popen([RUN_IN_WINE, self.wine.launcher, "--restore-watchdog",
                                     launcher_id], env=self.wine.environment)
        self.processes.append(watchdog)
        time.sleep(2)
        self.assertIsNone(watchdog.poll())
        self.assertEqual(self.wine.user_values(), launcher_values(18118))
        self.assertEqual(watchdog.wait(timeout=30), 0)
        self.assert_user_values_back()

    # ---- whole runs ----

    def test_kill_9_of_the_launcher_the_watchdog_restores_within_a_second(self):
        process, _ = self.start_launcher(free_port())
        self.assertEqual(len(self.watchdog_pids()), 1)
        os.kill(process.pid, signal.SIGKILL)
        process.wait()
        killed = time.monotonic()
        self.assertTrue(wait_until(lambda: self.wine.user_values() == USER_VALUES, 5))
        self.assertLess(time.monotonic() - killed, 2.5)
        self.assert_user_values_back()

    def test_launcher_and_watchdog_killed_together_the_next_start_restores_first(self):
        port = free_port()
        process, _ = self.start_launcher(port)
        watchdogs = self.watchdog_pids()
        self.assertEqual(len(watchdogs), 1)
        for pid in watchdogs + [process.pid]:
            os.kill(pid, signal.SIGKILL)
        process.wait()
        time.sleep(1.5)
        self.assertEqual(self.wine.user_values(), launcher_values(port))
        self.assertTrue(self.wine.backup_exists())
        self.assertEqual(self.wine.run_once(), restore_command(self.wine.launcher))

        # The next start fails at its SOCKS5 check, yet restores before it.
        code, _, err = self.run_closing_boxes(["--socks-port", str(free_port())])
        self.assertEqual(code, 4)
        self.assertIn(b"SOCKS5 verification failed.", err)
        self.assert_user_values_back()

    def test_launcher_and_watchdog_killed_together_the_logon_command_restores(self):
        # Wine runs no RunOnce commands of the user at its start, so the test
        # starts the command as the logon would, from the value's own text.
        process, _ = self.start_launcher(free_port())
        for pid in self.watchdog_pids() + [process.pid]:
            os.kill(pid, signal.SIGKILL)
        process.wait()
        kind, data = self.wine.run_once()
        self.assertEqual(kind, REG_SZ)
        self.wine.spawn_detached(data.rstrip(b"\0").decode())
        self.assertTrue(wait_until(lambda: not self.wine.backup_exists(), 10))
        self.assert_user_values_back()

    def test_second_launcher_is_refused_and_leaves_the_first_ones_settings(self):
        port = free_port()
        first, _ = self.start_launcher(port)
        code, out, err = self.run_closing_boxes(
            ["--socks-port", str(self.env.socks_port), "--http-port", str(free_port())])
        self.assertEqual(code, 8)
        self.assertEqual(out, b"")
        self.assertIn(ALREADY_RUNNING_TEXT.encode(), err)
        self.assertIsNone(first.poll())
        self.assertEqual(self.wine.user_values(), launcher_values(port))
        self.assertEqual(self.wine.read(BACKUP, ["Active", "ProxyServerValue"]),
                         {"Active": dword(1), "ProxyServerValue": USER_VALUES["ProxyServer"]})

        # The logon's restore command, run while the launcher serves, leaves
        # its backup and values alone.
        self.run_watchdog_mode()
        self.assertIsNone(first.poll())
        self.assertEqual(self.wine.user_values(), launcher_values(port))
        self.assertEqual(self.wine.read(BACKUP, ["Active", "ProxyServerValue"]),
                         {"Active": dword(1), "ProxyServerValue": USER_VALUES["ProxyServer"]})
        self.assertEqual(self.wine.run_once(), restore_command(self.wine.launcher))

        os.kill(first.pid, signal.SIGKILL)
        first.wait()
        self.assertTrue(wait_until(lambda: not self.wine.backup_exists(), 5))
        self.assert_user_values_back()

    def test_failures_before_apply_leave_the_registry_untouched(self):
        taken = socket.socket()
        taken.bind(("127.0.0.1", 0))
        taken.listen(1)
        try:
            cases = (
                ("SOCKS5 server down", ["--socks-port", str(free_port())], 4,
                 b"SOCKS5 verification failed."),
                ("local port taken", ["--socks-port", str(self.env.socks_port), "--http-port",
                                      str(taken.getsockname()[1])], 7,
                 b"Unable to open the local HTTP proxy port."),
            )
            for name, arguments, expected_code, box_text in cases:
                with self.subTest(name):
                    code, out, err = self.run_closing_boxes(arguments)
                    self.assertEqual(code, expected_code)
                    self.assertIn(box_text, err)
                    self.assertNotIn(b"Restore watchdog", out)
                    self.assert_user_values_back()
                    self.assertEqual(self.watchdog_pids(), [])
        finally:
            taken.close()

    # ---- a folder and values outside the ANSI code page ----

    def test_unicode_folder_and_values_come_back_through_watchdog_and_logon_command(self):
        # Wine's ANSI code page here (1252) has neither Cyrillic nor CJK.
        environment = dict(self.wine.environment, LC_ALL="C.UTF-8")
        folder = os.path.join(self.output_dir.name, "Иван 下载")
        os.makedirs(folder)
        testhosts = os.path.dirname(self.wine.launcher)
        for name in ("LumaretDesktopProxyLauncher.exe", "powershell.exe", "Lumaret.exe"):
            shutil.copy(os.path.join(testhosts, name), folder)
        launcher = os.path.join(folder, "LumaretDesktopProxyLauncher.exe")
        user = {"ProxyEnable": dword(0),
                "ProxyServer": stored_text(REG_SZ, "прокси.пример.рф:3128"),
                "ProxyOverride": stored_text(REG_SZ, "*.пример.рф;<local>;*.例子.测试")}
        command = stored_text(REG_SZ, '"%s" --restore-watchdog 0' % windows_path(launcher))

        def values_back():
            return self.wine.user_values(stored=True) == user and not self.wine.backup_exists()

        for ending in ("kill -9, the watchdog restores", "both killed, the logon command"):
            with self.subTest(ending):
                self.wine.write(INTERNET_SETTINGS, user, stored=True)
                process, _ = self.start_launcher(free_port(), launcher, environment)
                self.assertEqual(self.wine.read_stored(RUN_ONCE, [RUN_ONCE_VALUE]),
                                 {RUN_ONCE_VALUE: command})
                watchdogs = self.watchdog_pids()
                self.assertEqual(len(watchdogs), 1)
                if ending.startswith("both"):
                    os.kill(watchdogs[0], signal.SIGKILL)
                os.kill(process.pid, signal.SIGKILL)
                process.wait()
                if ending.startswith("both"):
                    time.sleep(1)
                    self.assertTrue(self.wine.backup_exists())
                    self.wine.reg("run-logon-command")
                self.assertTrue(wait_until(values_back, 10), self.wine.user_values(stored=True))
                self.assertIsNone(self.wine.run_once())

    # ---- registry calls that fail ----

    def test_failed_backup_writes_leave_the_users_values_untouched(self):
        apply_failed = b"Unable to save and apply the current-user Windows proxy settings."
        arguments = ["--socks-port", str(self.env.socks_port), "--http-port", str(free_port())]
        cases = (
            # Real: a leftover incomplete backup whose key denies writing.
            ("backup key denied", None, USER_VALUES),
            # Injected, as Wine fails no single write once the key is open.
            ("Active not written", "set:Active:5", USER_VALUES),
            # The launcher's last value fails: the user's go back at once.
            ("launcher's ProxyEnable not written", "set:ProxyEnable:5", USER_VALUES),
            ("backup read back wrong", "query:ProxyServerValue:1018", USER_VALUES),
        )
        for name, fault, expected in cases:
            with self.subTest(name):
                if fault is None:
                    self.wine.write(BACKUP, {"ProxyEnablePresent": dword(0)})
                    self.wine.reg("deny-write", BACKUP)
                    self.addCleanup(self.wine.run, [self.wine.regdump, "allow-write", BACKUP])
                extra = {"LUMARET_TEST_REGISTRY_FAULT": fault} if fault else None
                code, out, err = self.run_closing_boxes(arguments, extra)
                self.assertEqual(code, 10)
                self.assertIn(apply_failed, err)
                self.assertNotIn(b"Restore watchdog", out)
                self.assertEqual(self.wine.user_values(), expected)
                self.assertIsNone(self.wine.run_once())
                if fault is None:
                    self.wine.reg("allow-write", BACKUP)
                    self.wine.reg("delete-key", BACKUP)
                self.assertFalse(self.wine.backup_exists())

    def test_failed_restores_keep_the_backup_for_the_next_restore(self):
        launcher = launcher_values(18118)
        cases = (
            # Real: the Internet Settings key denies writing.
            ("Internet Settings denied", None, launcher),
            # Injected: the second of the three writes fails; the first stands.
            ("ProxyServer not written", "set:ProxyServer:5",
             dict(launcher, ProxyEnable=USER_VALUES["ProxyEnable"])),
            # Injected: a presence flag unreadable, as under an overlapping
            # restore that deleted the key; nothing may be deleted.
            ("presence flag unreadable", "query:ProxyOverridePresent:1018", launcher),
            ("saved value unreadable", "query:ProxyServerValue:1018", launcher),
        )
        for name, fault, expected in cases:
            with self.subTest(name):
                self.leave_complete_backup()
                if fault is None:
                    self.wine.reg("deny-write", INTERNET_SETTINGS)
                    self.addCleanup(self.wine.run, [self.wine.regdump, "allow-write", INTERNET_SETTINGS])
                self.run_watchdog_mode(fault)
                if fault is None:
                    self.wine.reg("allow-write", INTERNET_SETTINGS)
                self.assert_backup_kept(expected)
                self.run_watchdog_mode()
                self.assert_user_values_back()

    def test_kill_inside_the_apply_is_restored_by_the_watchdog_started_before_it(self):
        # The launcher holds at its first own value, with the backup complete.
        environment = dict(self.wine.environment,
                           LUMARET_TEST_REGISTRY_FAULT="set:ProxyServer:pause")
        process, output = self.start_run(free_port(), environment=environment)
        self.assertTrue(wait_until(lambda: self.wine.run_once() is not None, 90),
                        self.read_output(output))
        self.assertEqual(len(self.watchdog_pids()), 1)
        os.kill(process.pid, signal.SIGKILL)
        process.wait()
        self.assertTrue(wait_until(lambda: not self.wine.backup_exists(), 10))
        self.assertNotIn(b"Restore watchdog", self.read_output_bytes(output))
        self.assert_user_values_back()

    def test_end_of_the_session_restores_through_the_hidden_window(self):
        # The launcher runs detached: ending the session ends a console host
        # first, and then its end would be the watchdog's to handle.
        port = free_port()
        command = '"%s" --socks-port %d --http-port %d' % (
            windows_path(self.wine.launcher), self.env.socks_port, port)
        self.wine.spawn_detached(command)
        self.assertTrue(wait_until(lambda: self.wine.user_values() == launcher_values(port),
                                   90, 0.5))
        self.assertTrue(wait_until(lambda: len(self.watchdog_pids()) == 1, 10))
        # Without its watchdog, only the launcher itself can restore now.
        for pid in self.watchdog_pids():
            os.kill(pid, signal.SIGKILL)
        launchers = unix_pids_of(self.prefix, "--http-port %d" % port)
        self.assertEqual(len(launchers), 1)

        subprocess.run(["wineboot", "--end-session"], env=self.wine.environment,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)
        self.assertTrue(wait_until(lambda: self.wine.user_values() == USER_VALUES, 5))
        self.assert_user_values_back()


def main():
    global BUILD_DIR
    arguments = sys.argv[1:]
    if len(arguments) < 2 or arguments[0] != "--build-dir":
        print(__doc__, file=sys.stderr)
        return 2
    BUILD_DIR = os.path.abspath(arguments[1])
    program = unittest.main(argv=[sys.argv[0]] + arguments[2:], exit=False, verbosity=2)
    return 0 if program.result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
