"""Whole-program tests of the user's proxy settings under Wine: the watchdog
mode, the launcher killed with and without its watchdog, a second launcher,
failures before the settings are applied, and a real end of the session.

Each test sets the user's three Internet Settings values and their
Connections values (automatic detection with a setup script for the LAN, a
proxy of their own for one of the test launcher's two VPN entries, none for
the other), runs the test-hosts launcher against the test environment and
reads the values back with their exact types and bytes, and WinHTTP's view
of them (tests/tools/regdump.exe).

    settings_safety_net_test.py --build-dir DIR [unittest arguments]
"""

import os
import shutil
import signal
import subprocess
import time
import unittest

import harness
import peers
from harness import (BACKUP, CONNECTIONS, ERROR_CAPTION, INTERNET_SETTINGS, REG_SZ, RUN_ONCE,
                     RUN_ONCE_VALUE, USER_CONNECTIONS, USER_VALUES, USER_VIEW, dword,
                     launcher_connections, launcher_values, launcher_view, restore_command,
                     stored_text, wait_until, windows_path)
from peers import free_port


RAS_ENTRIES_UNREADABLE = (b"VPN and dial-up connections could not be listed: they keep their "
                          b"own proxy settings for this run, and only the LAN connection uses "
                          b"the local proxy.")
LOST_COPIES = (b"These saved proxy settings were missing from the backup and could not be "
               b"restored; the local proxy is switched off there instead: ")
# The user's mutex that apply and every restore hold (base name).
SETTINGS_MUTEX = "MorvoProxyLauncherSettings"
ALREADY_RUNNING_TEXT = ("Lumaret Desktop Proxy Launcher is already running.\\n\\nUse the launcher "
                        "window that is already open, or press ENTER in it to stop it")


class SettingsSafetyNet(harness.LauncherTestCase):
    user_values = USER_VALUES

    def setUp(self):
        super().setUp()
        # The app stand-in that the launch starts ends soon by itself.
        self.environment["LUMARET_TEST_APP_TIMEOUT_MS"] = "3000"
        self.wine.set_connections(USER_CONNECTIONS)

    def assert_user_values_back(self, within=0):
        super().assert_user_values_back(within)
        self.assertEqual(self.wine.connections(), USER_CONNECTIONS)
        self.assertEqual(self.wine.proxy_view(), USER_VIEW)

    # ---- helpers ----

    def start_run(self, port, launcher=None, environment=None):
        """Starts a whole run without a console (PlainRun)."""
        return self.desktop.start_plain(
            launcher or self.wine.launcher,
            ["--socks-port", str(self.env.socks_port), "--http-port", str(port)],
            environment or self.environment)

    def start_launcher(self, port, launcher=None, environment=None, entries=2):
        """Starts a whole run without a console and waits for the watchdog
        line. Returns the run."""
        run = self.start_run(port, launcher, environment)
        run.wait_output(b"Restore watchdog:", timeout=90)
        self.assertIn(b"      Restore watchdog: ACTIVE", run.output())
        self.assertEqual(RAS_ENTRIES_UNREADABLE in run.output(), entries == 0)
        self.assertEqual(self.wine.user_values(), launcher_values(port))
        self.assertEqual(self.wine.connections(), launcher_connections(port, entries))
        self.assertEqual(self.wine.proxy_view(), launcher_view(port))
        if launcher is None:
            self.assertEqual(self.wine.run_once(), restore_command(self.wine.launcher))
        return run

    def run_closing_boxes(self, arguments, extra_environment=None):
        """Runs the launcher to its end, pressing OK on each of its boxes.
        Returns the exit code, standard output and standard error (which holds
        the text of each box)."""
        environment = dict(self.environment, WINEDEBUG="-all,+msgbox", **(extra_environment or {}))
        run = self.desktop.start_plain(self.wine.launcher, arguments, environment)
        deadline = time.monotonic() + 120
        while run.running() and time.monotonic() < deadline:
            if self.desktop.find_window(ERROR_CAPTION):
                # Pressed inside Wine: a Return sent to the box misses it while
                # another program's box (a first launcher's outcome) is in front.
                self.desktop.run_tool("box_tool.exe", ["click", ERROR_CAPTION, "5000"])
            time.sleep(0.3)
        result = run.wait(timeout=60)
        return result.exit_code, result.stdout, result.stderr

    def set_machine_policy(self, per_user):
        """ProxySettingsPerUser under HKLM's Internet Settings policies (None:
        no value), through Wine's reg.exe."""
        key = r"HKLM\Software\Policies\Microsoft\Windows\CurrentVersion\Internet Settings"
        if per_user is None:
            arguments = ["delete", key, "/v", "ProxySettingsPerUser", "/f"]
        else:
            arguments = ["add", key, "/v", "ProxySettingsPerUser", "/t", "REG_DWORD", "/d",
                         str(per_user), "/f"]
        self.wine.run("reg", arguments)

    def run_watchdog_mode(self, fault=None):
        """Runs "--restore-watchdog 0" (the logon's command), optionally with
        one registry call failing (the test build's LUMARET_TEST_REGISTRY_FAULT)."""
        environment = dict(self.environment)
        if fault:
            environment["LUMARET_TEST_REGISTRY_FAULT"] = fault
        result = self.wine.run(self.wine.launcher, ["--restore-watchdog", "0"], environment)
        self.assertEqual(result.exit_code, 0)
        self.assertEqual(result.stdout, b"")

    def assert_backup_kept(self, user_values):
        self.assertEqual(self.wine.user_values(), user_values)
        self.assertEqual(self.wine.read(BACKUP, ["Active"]), {"Active": dword(1)})
        self.assertEqual(self.wine.run_once(), restore_command(self.wine.launcher))

    # ---- the watchdog mode ----

    def test_watchdog_mode_without_a_process_to_wait_for_restores_at_once(self):
        ended_id = self.wine.spawn_detached(windows_path(self.wine.regdump) + " sleep 0")
        time.sleep(1)
        # The backup's parent key goes with it, unless it holds data of its own.
        parent = BACKUP.rsplit("\\", 1)[0]
        for argument, other_data in (("0", None), ("--help", {"Other": dword(1)}), (ended_id, None)):
            with self.subTest(argument=argument):
                self.leave_complete_backup()
                self.wine.write(parent, other_data or {})
                started = time.monotonic()
                result = self.wine.run(self.wine.launcher, ["--restore-watchdog", argument])
                self.assertEqual(result.exit_code, 0)
                self.assertEqual(result.stdout, b"")
                # At once, not after a wait without limit; the bound allows a
                # busy machine's slow Wine start.
                self.assertLess(time.monotonic() - started, 20)
                self.assert_user_values_back()
                self.assertEqual(self.wine.reg("key", parent).strip(),
                                 "present" if other_data else "absent")
                self.wine.write(parent, {name: None for name in other_data or {}})

    def test_watchdog_mode_restores_only_after_the_process_ends(self):
        self.leave_complete_backup()
        launcher_id = self.wine.spawn_detached(windows_path(self.wine.regdump) + " sleep 4000")
        watchdog = self.desktop.start_plain(self.wine.launcher, ["--restore-watchdog", launcher_id],
                                            self.environment)
        time.sleep(2)
        self.assertTrue(watchdog.running())
        self.assertEqual(self.wine.user_values(), launcher_values(18118))
        self.assertEqual(watchdog.wait(timeout=30).exit_code, 0)
        self.assert_user_values_back()

    # ---- whole runs ----

    def test_kill_9_of_the_launcher_the_watchdog_restores_within_a_second(self):
        # VPN and dial-up entries that cannot be listed: the run goes on with
        # the LAN alone, and says so.
        environment = dict(self.environment, LUMARET_TEST_RAS_ENTRIES="unreadable")
        process = self.start_launcher(free_port(), environment=environment, entries=0).process
        self.assertEqual(len(self.watchdog_pids()), 1)
        os.kill(process.pid, signal.SIGKILL)
        process.wait()
        killed = time.monotonic()
        self.assertTrue(wait_until(lambda: self.wine.user_values() == USER_VALUES, 5))
        self.assertLess(time.monotonic() - killed, 2.5)
        self.assert_user_values_back()

    def test_launcher_and_watchdog_killed_together_the_next_start_restores_first(self):
        port = free_port()
        process = self.start_launcher(port).process
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
        # With the saved ProxyServer lost from the backup (a cleaner, a hand
        # edit), the launcher's server must not stay switched on, and the
        # backup goes, as nothing more can come back.
        user_proxy_on = dict(USER_VALUES, ProxyEnable=dword(1))
        for lost in (None, "ProxyServerValue"):
            with self.subTest(lost=lost):
                self.wine.write(INTERNET_SETTINGS, user_proxy_on)
                port = free_port()
                process = self.start_launcher(port).process
                for pid in self.watchdog_pids() + [process.pid]:
                    os.kill(pid, signal.SIGKILL)
                process.wait()
                if lost:
                    self.wine.write(BACKUP, {lost: None})
                kind, data = self.wine.run_once()
                self.assertEqual(kind, REG_SZ)
                output = self.path("logon-%s.out" % lost)
                self.wine.spawn_detached(data.rstrip(b"\0").decode(), output=output)
                self.assertTrue(wait_until(lambda: not self.wine.backup_exists(), 10))
                expected = user_proxy_on
                if lost:
                    expected = dict(USER_VALUES, ProxyServer=launcher_values(port)["ProxyServer"])
                    with open(output, "rb") as f:
                        self.assertEqual(f.read(), LOST_COPIES + b"ProxyServer\r\n")
                self.assertEqual(self.wine.user_values(), expected)
                self.assertEqual(self.wine.connections(), USER_CONNECTIONS)
                self.assertEqual(self.wine.proxy_view(), USER_VIEW)
                self.assertIsNone(self.wine.run_once())

        # The whole backup removed, launcher and watchdog killed: nothing
        # can come back, and the logon command switches off the launcher's
        # text for a port where nothing listens, but not while a proxy does.
        port = free_port()
        process = self.start_launcher(port).process
        for pid in self.watchdog_pids() + [process.pid]:
            os.kill(pid, signal.SIGKILL)
        process.wait()
        self.wine.reg("delete-key", BACKUP)
        # The wineserver closes the killed launcher's listener soon after.
        self.assertTrue(wait_until(lambda: not peers.is_listening(port), 10))
        with peers.HeldPort(port):
            self.run_watchdog_mode()
            self.assertEqual(self.wine.user_values(), launcher_values(port))
            self.assertEqual(self.wine.connections(), launcher_connections(port))
        self.run_watchdog_mode()
        self.assertEqual(self.wine.user_values(), dict(launcher_values(port), ProxyEnable=dword(0)))
        self.assertEqual(self.wine.connections(), launcher_connections(port, switched_off=True))
        self.assertIsNone(self.wine.run_once())

    def test_an_entry_removed_during_the_run_is_skipped_by_the_restore(self):
        # More entries than a fixed list would hold: every one is switched
        # (start_launcher checks each store) and put back.
        environment = dict(self.environment, LUMARET_TEST_RAS_ENTRIES="70")
        process = self.start_launcher(free_port(), environment=environment, entries=70).process
        # Windows deletes an entry's value with the entry.
        self.wine.write(CONNECTIONS, {"Test VPN": None})
        os.kill(process.pid, signal.SIGKILL)
        process.wait()
        self.assertTrue(wait_until(lambda: not self.wine.backup_exists(), 10))
        self.assertEqual(self.wine.user_values(), USER_VALUES)
        self.assertEqual(self.wine.connections(),
                         {name: value for name, value in USER_CONNECTIONS.items()
                          if name != "Test VPN"})

    def test_second_launcher_is_refused_and_leaves_the_first_ones_settings(self):
        port = free_port()
        first = self.start_launcher(port).process
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
        with peers.HeldPort() as taken:
            cases = (
                ("SOCKS5 server down", ["--socks-port", str(free_port())], 4,
                 b"SOCKS5 verification failed."),
                ("local port taken", ["--socks-port", str(self.env.socks_port), "--http-port",
                                      str(taken.port)], 7,
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

    # ---- a folder and values outside the ANSI code page ----

    def test_unicode_folder_and_values_come_back_through_watchdog_and_logon_command(self):
        # Wine's ANSI code page here (1252) has neither Cyrillic nor CJK.
        environment = dict(self.environment, LC_ALL="C.UTF-8")
        folder = self.path("Иван 下载")
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
                process = self.start_launcher(free_port(), launcher, environment).process
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
            # A Connections value that cannot be read is never saved as absent.
            ("VPN value unreadable", "query:Test VPN:5", USER_VALUES),
            # The LAN's store cannot be written: every value goes back at once.
            ("LAN store not written", "set:DefaultConnectionSettings:5", USER_VALUES),
            # Real: a machine policy makes the proxy settings per machine.
            ("per-machine policy", None, USER_VALUES),
        )
        for name, fault, expected in cases:
            with self.subTest(name):
                if name == "per-machine policy":
                    self.set_machine_policy(0)
                    self.addCleanup(self.set_machine_policy, None)
                elif fault is None:
                    self.wine.write(BACKUP, {"ProxyEnablePresent": dword(0)})
                    self.wine.reg("deny-write", BACKUP)
                    self.addCleanup(self.wine.run, self.wine.regdump, ["allow-write", BACKUP])
                extra = {"LUMARET_TEST_REGISTRY_FAULT": fault} if fault else None
                code, out, err = self.run_closing_boxes(arguments, extra)
                self.assertEqual(code, 10)
                self.assertIn(apply_failed, err)
                self.assertEqual(b"A machine policy makes the proxy settings per machine" in err,
                                 name == "per-machine policy")
                self.assertEqual(self.wine.connections(), USER_CONNECTIONS)
                self.assertNotIn(b"Restore watchdog", out)
                self.assertEqual(self.wine.user_values(), expected)
                self.assertIsNone(self.wine.run_once())
                if name == "backup key denied":
                    self.wine.reg("allow-write", BACKUP)
                    self.wine.reg("delete-key", BACKUP)
                if name == "per-machine policy":
                    self.set_machine_policy(None)
                self.assertFalse(self.wine.backup_exists())

    def test_backup_not_in_the_written_layout_is_kept_byte_for_byte(self):
        # Another version's or a hand's backup may still guard the user's
        # values: taken as absent, apply would overwrite them.
        names = ["Active", "ProxyEnablePresent", "ProxyEnableValue", "ProxyServerPresent",
                 "ProxyServerValue", "ProxyOverridePresent"]
        arguments = ["--socks-port", str(self.env.socks_port), "--http-port", str(free_port())]
        cases = (("Active as a QWORD", {"Active": (11, (1).to_bytes(8, "little"))}),
                 ("a presence flag missing", {"ProxyServerPresent": None}))
        for name, change in cases:
            with self.subTest(name):
                self.leave_complete_backup()
                self.wine.write(BACKUP, change)
                backup = self.wine.read(BACKUP, names)
                code, out, err = self.run_closing_boxes(arguments)
                self.assertEqual(code, 10)
                self.assertIn(b"Unable to save and apply the current-user Windows proxy settings.",
                              err)
                self.run_watchdog_mode()
                self.assertEqual(self.wine.read(BACKUP, names), backup)
                self.assertEqual(self.wine.user_values(), launcher_values(18118))
                self.wine.reg("delete-key", BACKUP)

    def test_failed_restores_are_tried_again_and_keep_the_logon_command(self):
        # One failed call: the next try restores.
        for name, fault in (("ProxyServer not written once", "set:ProxyServer:5"),
                            ("presence flag unreadable once", "query:ProxyOverridePresent:1018"),
                            ("saved value unreadable once", "query:ProxyServerValue:1018")):
            with self.subTest(name):
                self.leave_complete_backup()
                self.run_watchdog_mode(fault)
                self.assert_user_values_back()
        # Failing for a while, in the logon's command that the shell deleted
        # before running it: the command stands again, the backup stays, the
        # launcher's server is not left switched on, and a later try restores.
        user_proxy_on = dict(USER_VALUES, ProxyEnable=dword(1))
        cases = (
            # Injected, after a whole run whose launcher and watchdog were
            # killed: one VPN entry's store is never written back. Every other
            # place comes back all the same.
            ("VPN store never written", "set:Test VPN:5*", None, USER_VALUES),
            # Real: the Internet Settings key denies writing; the same command
            # restores once the denial is lifted.
            ("Internet Settings denied", None, launcher_values(18118), USER_VALUES),
            # Injected: every write of ProxyServer fails; ProxyEnable goes
            # off, and ProxyOverride comes back all the same.
            ("ProxyServer never written", "set:ProxyServer:5*",
             dict(launcher_values(18118), ProxyEnable=dword(0), ProxyOverride=None),
             user_proxy_on),
        )
        for name, fault, while_failing, restored in cases:
            with self.subTest(name):
                if while_failing is None:
                    port = free_port()
                    process = self.start_launcher(port).process
                    for pid in self.watchdog_pids() + [process.pid]:
                        os.kill(pid, signal.SIGKILL)
                    process.wait()
                    while_failing = USER_VALUES
                    stores = dict(USER_CONNECTIONS,
                                  **{"Test VPN": launcher_connections(port)["Test VPN"]})
                else:
                    self.leave_complete_backup()
                    self.wine.write(BACKUP, {"ProxyEnableValue": restored["ProxyEnable"]})
                    stores = USER_CONNECTIONS
                environment = dict(self.environment)
                if fault is None:
                    self.wine.reg("deny-write", INTERNET_SETTINGS)
                    self.addCleanup(self.wine.run, self.wine.regdump,
                                    ["allow-write", INTERNET_SETTINGS])
                else:
                    environment["LUMARET_TEST_REGISTRY_FAULT"] = fault
                result = self.wine.run(self.wine.regdump, ["run-logon-command"], environment)
                self.assertEqual(result.exit_code, 0)
                self.assertTrue(wait_until(lambda: self.wine.run_once() is not None, 30))
                self.assert_backup_kept(while_failing)
                # No store that WinHTTP's readers follow names the dead port.
                self.assertEqual(self.wine.connections(), stores)
                self.assertEqual(self.wine.proxy_view(), USER_VIEW)
                if fault is None:
                    self.wine.reg("allow-write", INTERNET_SETTINGS)
                else:
                    self.kill_watchdog()
                    self.run_watchdog_mode()
                self.assertTrue(wait_until(lambda: not self.wine.backup_exists(), 60))
                self.assertEqual(self.wine.user_values(), restored)
                self.assertEqual(self.wine.connections(), USER_CONNECTIONS)
                self.assertIsNone(self.wine.run_once())

    def test_restore_waits_for_the_settings_mutex_another_process_holds(self):
        self.leave_complete_backup()
        # Longer than a restore waits for it: the first try gives up.
        holder = self.desktop.start_plain(self.wine.regdump,
                                          ["hold-mutex", SETTINGS_MUTEX, "8000", BACKUP],
                                          self.environment)
        holder.wait_output(b"held", timeout=30)
        self.run_watchdog_mode()
        self.assertIn(("%s present" % BACKUP).encode(), holder.wait(timeout=30).stdout)
        self.assert_user_values_back()

    def test_closing_the_launchers_job_with_kill_on_close_leaves_the_watchdog(self):
        for forbidden in (False, True):
            with self.subTest("breakaway forbidden" if forbidden else "breakaway allowed"):
                output = self.path("launcher-%d.out" % forbidden)
                trigger = self.path("close-job-%d" % forbidden)
                command = '"%s" --socks-port %d --http-port %d' % (
                    windows_path(self.wine.launcher), self.env.socks_port, free_port())
                job = self.desktop.start_plain(
                    self.wine.regdump,
                    ["spawn-in-job", command, windows_path(output), windows_path(trigger)] +
                    (["-forbid"] if forbidden else []), self.environment)

                def launcher_output():
                    with open(output, "rb") as f:
                        return f.read()
                self.assertTrue(wait_until(lambda: os.path.exists(output) and
                                           b"Restore watchdog:" in launcher_output(), 90))
                self.assertIn(b"      Restore watchdog: ACTIVE", launcher_output())
                self.assertEqual(len(self.watchdog_pids()), 1)
                open(trigger, "w").close()
                self.assertEqual(job.wait(timeout=60).stdout.split()[-1], b"ended")
                if forbidden:
                    # The watchdog had to start inside the job and ended with it:
                    # the logon's command is what is left.
                    self.assertTrue(wait_until(lambda: self.watchdog_pids() == [], 10))
                    self.assertTrue(self.wine.backup_exists())
                    self.assertEqual(self.wine.run_once(), restore_command(self.wine.launcher))
                    self.wine.reg("run-logon-command")
                self.assertTrue(wait_until(lambda: not self.wine.backup_exists(), 10))
                self.assert_user_values_back()

    def test_kill_inside_the_apply_is_restored_by_the_watchdog_started_before_it(self):
        # The launcher holds at its first own value, with the backup complete.
        environment = dict(self.environment, LUMARET_TEST_REGISTRY_FAULT="set:ProxyServer:pause")
        run = self.start_run(free_port(), environment=environment)
        process = run.process
        self.assertTrue(wait_until(lambda: self.wine.run_once() is not None, 90), run.output())
        self.assertEqual(len(self.watchdog_pids()), 1)
        os.kill(process.pid, signal.SIGKILL)
        process.wait()
        self.assertTrue(wait_until(lambda: not self.wine.backup_exists(), 10))
        self.assertNotIn(b"Restore watchdog", run.output())
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
        launchers = self.desktop.pids_of("--http-port %d" % port)
        self.assertEqual(len(launchers), 1)

        subprocess.run(["wineboot", "--end-session"], env=self.environment,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)
        self.assertTrue(wait_until(lambda: self.wine.user_values() == USER_VALUES, 5))
        self.assert_user_values_back()


if __name__ == "__main__":
    unittest.main(argv=harness.parse_arguments(), verbosity=2)
