"""Whole runs in a Wine console that end the ways a user ends them, each
after "Restore watchdog: ACTIVE": ENTER, Ctrl+C and closing the console
window. ENTER and Ctrl+C are typed on the keyboard here; the fault matrix
raises Ctrl+C inside the console, without X. Every one
must leave the user's own proxy values back, with their exact types and
bytes, and no backup behind; where another program wrote the settings during
the run, what it wrote stays, and the launcher says so.

    settings_console_test.py --build-dir DIR [unittest arguments]
"""

import os
import signal
import sys
import time
import unittest
import urllib.request

import harness
import peers
import transcripts
from harness import (INTERNET_SETTINGS, LAUNCHER_BYPASS, REG_SZ, USER_CONNECTIONS, USER_VALUES,
                     USER_VIEW, connection_value, dword, launcher_values, launcher_view,
                     restore_command, text, wait_until)


class SettingsConsoleEnds(harness.LauncherTestCase):
    user_values = USER_VALUES

    def start_to_applied(self, arguments=(), bypass=LAUNCHER_BYPASS):
        run = self.desktop.start_console(
            harness.launcher("testhosts"),
            ["--socks-port", str(self.env.socks_port), "--http-port", str(self.http_port)]
            + list(arguments),
            environment=self.environment)
        run.wait_output(b"      Restore watchdog: ACTIVE\r\n", timeout=90)
        self.assertEqual(self.wine.user_values(), launcher_values(self.http_port, bypass))
        self.assertEqual(self.wine.run_once(), restore_command(self.wine.launcher))
        return run

    def test_enter_restores_through_the_shutdown(self):
        # With a bypass list of the user's own: it follows the launcher's
        # entries in every place the bypass goes, and all goes back after ENTER.
        self.wine.set_connections(USER_CONNECTIONS)
        bypass = LAUNCHER_BYPASS + ";*.corp.example;10.*;192.168.*;intranet:8080"
        run = self.start_to_applied(
            ["--bypass", " *.corp.example;10.*;LOCALHOST; ;192.168.*;intranet:8080;10.*",
             "--plain-http", "forward"], bypass)
        # A plain http:// request through the local proxy reaches its server.
        with peers.FileServer() as files:
            url = files.add_file("page.txt", b"plain page")
            opener = urllib.request.build_opener(urllib.request.ProxyHandler(
                {"http": "http://127.0.0.1:%d" % self.http_port}))
            with opener.open(url, timeout=30) as response:
                self.assertEqual((response.status, response.read()), (200, b"plain page"))
        server = "http=127.0.0.1:%d;https=127.0.0.1:%d" % (self.http_port, self.http_port)
        connections = self.wine.connections()
        self.assertEqual(connections["DefaultConnectionSettings"],
                         connection_value(0x3, server, bypass, counter=10))
        self.assertEqual(connections["Test VPN"], connection_value(0x3, server, bypass, counter=4))
        self.assertEqual(self.wine.proxy_view(), launcher_view(self.http_port, bypass))
        self.kill_watchdog()
        box = self.desktop.wait_box(transcripts.CONFIRMED_CAPTION, timeout=90)
        box.dismiss()
        run.wait_output(b"The local SOCKS5 port is checked every second", timeout=10)
        run.type_enter()
        result = run.wait(timeout=30)
        self.assertEqual(result.exit_code, 0)
        self.assert_user_values_back()
        self.assertEqual(self.wine.connections(), USER_CONNECTIONS)
        self.assertEqual(self.wine.proxy_view(), USER_VIEW)

    def test_another_programs_proxy_is_said_at_once_and_kept_by_enter_and_by_the_watchdog(self):
        # A VPN client writes its server while the launcher serves: said
        # within about two seconds, once, and at the end it stays switched
        # on, while the rest of the user's settings come back.
        self.wine.set_connections(USER_CONNECTIONS)
        # The app stand-in ends by itself, so that the second run may start.
        self.environment["LUMARET_TEST_APP_TIMEOUT_MS"] = "3000"
        log = os.path.join(self.desktop.work_dir, "other-program-%d.log" % time.monotonic_ns())
        run = self.start_to_applied(["--log", harness.windows_path(log)])
        self.desktop.wait_box(transcripts.CONFIRMED_CAPTION, timeout=90).dismiss()
        run.wait_output(b"The local SOCKS5 port is checked every second", timeout=10)
        vpn = {"ProxyServer": text(REG_SZ, "vpn.corp.test:8080")}
        self.wine.write(INTERNET_SETTINGS, vpn)
        written = time.monotonic()
        changed = transcripts.console(transcripts.OTHER_PROGRAM_CHANGED % "ProxyServer")
        run.wait_output(changed, timeout=30)
        said_after = time.monotonic() - written
        sys.stderr.write("another program's change said %.2f s after its write\n" % said_after)
        self.assertLess(said_after, 5)
        run.type_enter()
        result = run.wait(timeout=30)
        self.assertEqual(result.exit_code, 0)
        self.assertEqual(result.stdout.count(changed), 1)
        self.assertTrue(result.stdout.endswith(
            changed + transcripts.console(transcripts.KEPT_OTHER_PROGRAM % "ProxyServer")))
        kept = dict(USER_VALUES, ProxyEnable=dword(1), **vpn)
        self.assertEqual(self.wine.user_values(), kept)
        self.assertEqual(self.wine.connections(), USER_CONNECTIONS)
        self.assertFalse(self.wine.backup_exists())
        with open(log, encoding="utf-8") as f:
            logged = f.read()
        ours = "http=127.0.0.1:%d;https=127.0.0.1:%d" % (self.http_port, self.http_port)
        self.assertIn('Changed by another program: ProxyServer: was "%s", now "vpn.corp.test:8080"'
                      % ours, logged)
        self.assertIn(transcripts.KEPT_OTHER_PROGRAM % "ProxyServer", logged.replace("\r\n", "\n"))

        # The same change, and a VPN client's server in its entry's store,
        # then kill -9: the watchdog keeps both, and only them.
        self.wine.reset(USER_VALUES)
        port = peers.free_port()
        second = self.desktop.start_plain(
            harness.launcher("testhosts"),
            ["--socks-port", str(self.env.socks_port), "--http-port", str(port)], self.environment)
        second.wait_output(b"      Restore watchdog: ACTIVE", timeout=90)
        self.wine.write(INTERNET_SETTINGS, vpn)
        self.wine.write(harness.CONNECTIONS, {"Test VPN": connection_value(
            0x3, "other-vpn.test:3128", LAUNCHER_BYPASS, counter=5)})
        os.kill(second.process.pid, signal.SIGKILL)
        second.process.wait()
        self.assertTrue(wait_until(lambda: not self.wine.backup_exists(), 15))
        self.assertEqual(self.wine.user_values(), kept)
        self.assertEqual(self.wine.connections(), dict(USER_CONNECTIONS, **{
            "Test VPN": connection_value(0x3, "other-vpn.test:3128", "<local>", counter=6)}))

    def test_ctrl_c_typed_at_the_monitor_restores_through_the_console_handler(self):
        # The key itself, typed on the keyboard: the other cases raise the
        # console events without X.
        run = self.start_to_applied()
        self.kill_watchdog()
        self.desktop.wait_box(transcripts.CONFIRMED_CAPTION, timeout=90).dismiss()
        run.wait_output(b"The local SOCKS5 port is checked every second", timeout=10)
        run.type_ctrl_c()
        run.wait(timeout=30)
        self.assert_user_values_back(5)

    def test_closing_the_console_window_restores(self):
        # Wine ends the program without a close event: the watchdog restores.
        run = self.start_to_applied()
        run.close_window()
        run.wait(timeout=30)
        self.assert_user_values_back(5)

    def test_a_late_watchdog_of_a_dead_launcher_leaves_the_next_ones_settings(self):
        first_port = peers.free_port()
        first = self.desktop.start_plain(
            harness.launcher("testhosts"),
            ["--socks-port", str(self.env.socks_port), "--http-port", str(first_port)],
            self.environment)
        first.wait_output(b"      Restore watchdog: ACTIVE\r\n", timeout=90)
        late = self.watchdog_pids()
        self.assertEqual(len(late), 1)
        # The first launcher's watchdog sleeps through its launcher's death.
        os.kill(late[0], signal.SIGSTOP)
        self.addCleanup(lambda: os.path.exists("/proc/%d" % late[0]) and
                        os.kill(late[0], signal.SIGCONT))
        os.kill(first.process.pid, signal.SIGKILL)
        first.process.wait()

        # The second launcher restores the first one's leftover, then applies.
        run = self.start_to_applied()
        self.desktop.wait_box(transcripts.CONFIRMED_CAPTION, timeout=90).dismiss()
        run.wait_output(b"The local SOCKS5 port is checked every second", timeout=10)
        os.kill(late[0], signal.SIGCONT)
        harness.wait_until(lambda: late[0] not in self.watchdog_pids(), 30,
                           message="the late watchdog did not end")
        self.assertEqual(self.wine.user_values(), launcher_values(self.http_port))
        self.assertTrue(self.wine.backup_exists())

        run.focus()
        run.press_enter()
        self.assertEqual(run.wait(timeout=30).exit_code, 0)
        self.assert_user_values_back()

    def test_ctrl_c_before_apply_leaves_the_registry_untouched(self):
        held = peers.SilentServer()
        self.addCleanup(held.stop)
        run = self.desktop.start_console(
            harness.launcher("testhosts"),
            ["--socks-port", str(held.port), "--http-port", str(self.http_port)],
            environment=self.environment)
        run.wait_output(b"[1/3] Verifying SOCKS5 handshake... ", timeout=30)
        run.ctrl_c()
        run.wait(timeout=30)
        self.assertEqual(self.wine.user_values(), USER_VALUES)
        self.assertFalse(self.wine.backup_exists())


if __name__ == "__main__":
    unittest.main(argv=harness.parse_arguments())
