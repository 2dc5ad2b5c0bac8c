"""LauncherTestCase, the base of every end-to-end test class: the desktop,
the test environment of tests/env, the user's proxy settings through Wine, a
free local port and a folder of the test's own."""

import os
import signal
import sys
import unittest

from harness_base import build_dir, test_env, wait_until, windows_path
from harness_desktop import desktop
from harness_registry import (BACKUP, INTERNET_SETTINGS, RUN_ONCE, RUN_ONCE_VALUE, USER_VALUES,
                              Wine, dword, launcher_values, restore_command)
import peers  # after harness_base, which imports test_env first


DIRECT_ADDRESS = "198.51.100.7"
EXIT_ADDRESS = "203.0.113.7"


def _size(path):
    try:
        return os.path.getsize(path)
    except OSError:
        return 0


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
            self.reset_user_values()
        self.http_port = peers.free_port()
        self.work = os.path.join(self.desktop.work_dir, self.id().rsplit(".", 1)[-1])
        os.makedirs(self.work)
        self.addCleanup(self._show_logs_on_failure, _size(self.desktop.server_log))

    def _show_logs_on_failure(self, server_log_start):
        """A failed test shows the stand-ins' logs and what the wineserver
        said meanwhile: what the launcher's children did is not on its console."""
        result = self._outcome.result
        if not any(test is self for test, _ in result.failures + result.errors):
            return
        logs = [(name, self.path(name), 0) for name in sorted(os.listdir(self.work))
                if name.endswith(".log")]
        if os.path.exists(self.desktop.server_log):
            logs.append(("wineserver.log", self.desktop.server_log, server_log_start))
        for name, path, start in logs:
            with open(path, "rb") as f:
                f.seek(start)
                text = f.read().decode(errors="replace")
            if text:
                sys.stderr.write("---- %s\n%s\n" % (name, text.rstrip("\n")))

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

    def reset_user_values(self):
        """The user's settings as user_values, with no backup or restore
        command (before each test that sets user_values)."""
        self.wine.reset(self.user_values)

    def leave_complete_backup(self):
        """The registry as a launcher leaves it that died with its values
        applied (one of an earlier version: no owner recorded)."""
        self.wine.write(BACKUP, {
            "ProxyEnablePresent": dword(1), "ProxyEnableValue": USER_VALUES["ProxyEnable"],
            "ProxyServerPresent": dword(1), "ProxyServerValue": USER_VALUES["ProxyServer"],
            "ProxyOverridePresent": dword(0), "Active": dword(1)})
        self.wine.write(INTERNET_SETTINGS, launcher_values(18118))
        self.wine.write(RUN_ONCE, {RUN_ONCE_VALUE: restore_command(self.wine.launcher)})

    def assert_user_values_back(self, within=0):
        """USER_VALUES back (within seconds), no backup, no restore command."""
        if within:
            wait_until(lambda: self.wine.user_values() == USER_VALUES, within)
        self.assertEqual(self.wine.user_values(), USER_VALUES)
        self.assertFalse(self.wine.backup_exists())
        self.assertIsNone(self.wine.run_once())
