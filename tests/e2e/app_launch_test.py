"""Whole runs of the test-hosts launcher under Wine around the app: the
refusal while the app runs, the launch through the PowerShell stand-in, the
observation of the app stand-in's tunnels and the outcome report.

The stand-ins (tests/standins) are installed in the prefix's system folder,
where the launcher takes Windows PowerShell from: powershell.exe records the
command line it gets and then does what LUMARET_TEST_POWERSHELL_MODE
says; Lumaret.exe reads the user's ProxyServer and opens CONNECT tunnels
through it as LUMARET_TEST_APP_* say. Both log their events with time stamps.

    app_launch_test.py --build-dir DIR [unittest arguments]
"""

import os
import shutil
import socket
import time
import unittest

import harness
import peers
import transcripts
from harness import REG_SZ, USER_CONNECTIONS, USER_VIEW, dword, launcher_view, text

# The user's own settings before every run: no proxy in use, a server of theirs.
USER_VALUES = {
    "ProxyEnable": dword(0),
    "ProxyServer": text(REG_SZ, "proxy.corp.test:3128"),
    "ProxyOverride": None,
}

LAUNCH_COMMAND = (b"powershell.exe -NoProfile -NonInteractive -WindowStyle Hidden -Command "
                  b"\"$a=Get-StartApps | Where-Object {$_.Name -like '*Lumaret*'} | Select-Object "
                  b"-First 1; if($a){Start-Process explorer.exe -ArgumentList "
                  b"('shell:AppsFolder\\'+$a.AppID); exit 0}; exit 2\"")
APP_RUNNING_TEXT = ("Lumaret is already running.\n\nFully quit Lumaret from the system tray and "
                    "Task Manager, then run this launcher again. This lets the app start with the "
                    "new system proxy settings.")
LAUNCH_FAILED_TEXT = ("Lumaret could not be found or launched.\n\nInstall the official Lumaret "
                      "Windows app, then try again.")
NOT_CONFIRMED_LINE = transcripts.console(
    "[3/3] NOT CONFIRMED - no Lumaret/Corvane tunnel was observed within 30 seconds.\n\n")
NOT_CONFIRMED_TEXT = ("The SOCKS5 and HTTPS tests passed, but Lumaret app traffic was not observed "
                      "through the local proxy within 30 seconds.\n\nThe launcher cannot claim full "
                      "success. Try refreshing Lumaret, then check the console again.")
# Where the launcher takes Windows PowerShell from (the stand-in is installed
# there by tests/wine/install-standins).
SYSTEM_POWERSHELL = r"C:\windows\system32\WindowsPowerShell\v1.0\powershell.exe"
DIRECT = "198.51.100.7"
EXIT = "203.0.113.7"
# A host that matches none of the app traffic markers, served by the vendor server.
OTHER_HOST = "downloads.example.test"


def read_log(path):
    """The stand-in log as (unix seconds, event) pairs."""
    try:
        with open(path) as f:
            lines = f.read().splitlines()
    except FileNotFoundError:
        return []
    return [(int(stamp) / 1000.0, event) for stamp, event in (line.split(" ", 1) for line in lines)]


def event_time(log, event):
    """Time of the first log entry equal to event, or None."""
    return next((stamp for stamp, text in log if text == event), None)


class AppLaunch(harness.LauncherTestCase):
    user_values = USER_VALUES

    def setUp(self):
        super().setUp()
        self.env.socks.map_host(OTHER_HOST, "127.0.0.1", self.env.vendor_port)
        # No Connections values unless a test sets them: none may be left after.
        self.user_connections = {}
        self.wine.set_connections(self.user_connections)

    def assert_settings_are_the_users(self):
        self.assertEqual(self.wine.user_values(), USER_VALUES)
        self.assertEqual(self.wine.connections(), self.user_connections)
        self.assertFalse(self.wine.backup_exists())

    def launch_environment(self, **settings):
        """The stand-ins' environment, the PowerShell command line recorded."""
        return self.standin_environment(
            powershell_record=harness.windows_path(self.path("command-line")), **settings)

    def start(self, environment=None, **settings):
        return self.desktop.start_console(
            harness.launcher("testhosts"),
            ["--socks-port", str(self.env.socks_port), "--http-port", str(self.http_port)],
            dict(self.launch_environment(**settings), **(environment or {})))

    def powershell_paths(self):
        """Where each PowerShell that ran was started from."""
        return [event[len("powershell from "):] for _, event in read_log(self.path("powershell.log"))
                if event.startswith("powershell from ")]

    def transcript(self, direct=DIRECT, exit_address=EXIT):
        text = transcripts.run_transcript(self.env.socks_port, self.http_port, "monitor",
                                          https_status=200, direct=direct,
                                          exit_address=exit_address)
        if not self.env.direct_available:
            # The direct query fails where no private hosts entry can be made.
            text = text.replace(b"IP... " + direct.encode(), b"IP... UNAVAILABLE")
            text = text.replace(b"IP:            " + direct.encode(), b"IP:            Unavailable")
        return text

    def end_with_enter(self, run):
        # After a box the console needs a click before it takes keys again; on
        # a loaded machine the first key can still go astray, so it is repeated.
        for _ in range(3):
            run.focus()
            run.press_enter()
            if not harness.wait_until(lambda: not run.running(), 15, step=0.1):
                continue
            break
        return run.wait(timeout=30)

    def assert_proxy_serves(self):
        with socket.create_connection(("127.0.0.1", self.http_port), timeout=10) as client:
            target = b"app.lumaret.test:443"
            client.sendall(b"CONNECT " + target + b" HTTP/1.1\r\nHost: " + target + b"\r\n\r\n")
            self.assertTrue(client.recv(1024).startswith(b"HTTP/1.1 200"))

    # -- tests --

    def test_confirmed_launch_reports_the_addresses_and_ends_with_0_on_enter(self):
        # The app reads its proxy as Chromium-based apps do, from WinHTTP's
        # view, which for this user detects its proxy or takes a setup script.
        self.user_connections = USER_CONNECTIONS
        self.wine.set_connections(USER_CONNECTIONS)
        self.assertEqual(self.wine.proxy_view(), USER_VIEW)
        # The app opens its first tunnel 10 s after the launch step returned.
        # A password in the variable without a user name is not used, and no
        # child inherits it.
        run = self.start({transcripts.PASSWORD_VARIABLE: "unused-secret"}, app_delay_ms=10000,
                         app_proxy_view="winhttp")
        confirmed = transcripts.console(transcripts.CONFIRMED_LINE)
        seen_at = harness.wait_until(lambda: confirmed in run.output() and time.time(), 60,
                                     step=0.02, message="no PASSED line")
        box = self.desktop.wait_box(transcripts.CONFIRMED_CAPTION)
        direct = DIRECT if self.env.direct_available else "Unavailable"
        self.assertEqual((box.icon, box.buttons, box.text),
                         ("information", ["OK"], transcripts.confirmed_text(direct, EXIT)))
        box.dismiss()
        run.wait_output(transcripts.console(transcripts.MONITOR_LINES))
        self.assertEqual(run.output(), self.transcript())
        self.assertNotEqual(self.wine.user_values(), USER_VALUES)
        self.assertEqual(self.wine.proxy_view(), launcher_view(self.http_port))
        app_log = [event for _, event in read_log(self.path("app.log"))]
        self.assertEqual(app_log[1:3], [
            "view auto-detect=0 script=",
            "proxy http=127.0.0.1:%d;https=127.0.0.1:%d" % (self.http_port, self.http_port)])

        result = self.end_with_enter(run)
        self.assertEqual(result.exit_code, 0)
        self.assertEqual(result.stdout, self.transcript())
        self.assert_settings_are_the_users()
        self.assertEqual(self.wine.proxy_view(), USER_VIEW)
        with open(self.path("command-line"), "rb") as f:
            self.assertEqual(f.read(), LAUNCH_COMMAND)
        with open(self.path("command-line") + ".environment", "rb") as f:
            self.assertNotIn(transcripts.PASSWORD_VARIABLE.encode() + b"=", f.read().upper())
        self.assertEqual(self.powershell_paths(), [SYSTEM_POWERSHELL])

        launched = event_time(read_log(self.path("powershell.log")), "powershell exit 0")
        tunnel = event_time(read_log(self.path("app.log")), "tunnel app.lumaret.test:443 200")
        self.assertGreaterEqual(tunnel - launched, 9.5)
        # Seen at the next check, within one 500 ms step (plus polling and a
        # loaded machine's scheduling).
        self.assertLess(seen_at - tunnel, 1.0)
        self.assertGreater(seen_at - tunnel, -0.05)

    def test_tunnel_during_the_launch_wait_and_failed_address_queries(self):
        self.env.set_address("both", 500, b"")
        # PowerShell ends 2 s after starting the app, which connects at once:
        # the first check already sees the tunnel.
        run = self.start(powershell_delay_ms=2000)
        box = self.desktop.wait_box(transcripts.CONFIRMED_CAPTION, timeout=45)
        self.assertEqual(box.text, transcripts.confirmed_text("Unavailable", "Unavailable"))
        box.dismiss()
        output = run.wait_output(transcripts.console(transcripts.MONITOR_LINES))
        self.assertIn(transcripts.console(
            "      Querying direct public IP... UNAVAILABLE\n"
            "      Querying SOCKS5 exit IP... UNAVAILABLE\n"
            "      Restore watchdog: ACTIVE\n"
            + transcripts.LAUNCH_LINE + transcripts.CONFIRMED_LINE +
            "IP comparison\n"
            "  Direct public IP:            Unavailable\n"
            "  SOCKS5 exit IP:              Unavailable\n"
            "  Lumaret effective exit IP:   Unavailable (inferred from verified proxy route)\n\n"
            + transcripts.MONITOR_LINES), output)
        self.assertEqual(self.end_with_enter(run).exit_code, 0)
        self.assert_settings_are_the_users()

    def test_only_other_hosts_give_not_confirmed_and_exit_11_on_enter(self):
        run = self.start(app_tunnels=OTHER_HOST + ":443")
        box = self.desktop.wait_box(transcripts.NOT_CONFIRMED_CAPTION, timeout=60)
        self.assertEqual((box.icon, box.buttons, box.text), ("warning", ["OK"], NOT_CONFIRMED_TEXT))
        self.assertIn(OTHER_HOST, self.env.socks.hosts_requested())
        self.assertIn(("tunnel %s:443 200" % OTHER_HOST),
                      [event for _, event in read_log(self.path("app.log"))])
        box.dismiss()
        expected = self.transcript().split(transcripts.console(transcripts.CONFIRMED_LINE))[0]
        expected += NOT_CONFIRMED_LINE + transcripts.console(transcripts.MONITOR_LINES)
        self.assertEqual(run.wait_output(transcripts.console(transcripts.MONITOR_LINES)), expected)
        self.assert_proxy_serves()

        result = self.end_with_enter(run)
        self.assertEqual(result.exit_code, 11)
        self.assertEqual(result.stdout, expected)
        self.assert_settings_are_the_users()

    def test_failed_launch_shows_the_box_and_exits_6_with_settings_restored(self):
        for mode, code in (("exit2", 2), ("exit1", 1), ("hang", None)):
            with self.subTest(mode=mode):
                self.http_port = peers.free_port()
                for name in ("powershell.log", "command-line"):
                    if os.path.exists(self.path(name)):
                        os.remove(self.path(name))
                try:
                    self.check_failed_launch(mode, code)
                finally:
                    # A failed check must not leave a launcher that blocks the next run.
                    self.desktop.end_test_processes(grace=0)

    def check_failed_launch(self, mode, code):
        expected = self.transcript().split(transcripts.console(transcripts.CONFIRMED_LINE))[0]
        run = self.start(powershell_mode=mode)
        run.wait_output(transcripts.console(transcripts.LAUNCH_LINE), timeout=60)
        launch_seen = time.monotonic()
        box = self.desktop.wait_box(harness.ERROR_CAPTION, timeout=45)
        box_seen = time.time()
        self.assertEqual((box.icon, box.buttons, box.text), ("error", ["OK"], LAUNCH_FAILED_TEXT))
        ended = event_time(read_log(self.path("powershell.log")), "powershell exit %d" % (code or 0))
        if code is None:
            # STILL_ACTIVE after the whole wait; the script is neither stopped
            # nor waited for any longer.
            self.assertGreater(time.monotonic() - launch_seen, 14.5)
            self.assertIsNone(ended)
        else:
            # The box follows the script's own exit code, not the time-out.
            self.assertIsNotNone(ended)
            self.assertLess(ended, box_seen)
        box.dismiss()
        result = run.wait(timeout=30)
        self.assertEqual(result.exit_code, 6)
        self.assertEqual(result.stdout, expected)
        self.assert_settings_are_the_users()
        with open(self.path("command-line"), "rb") as f:
            self.assertEqual(f.read(), LAUNCH_COMMAND)

    def test_planted_powershell_beside_the_launcher_and_in_the_current_folder_does_not_run(self):
        # A copy of the launcher in a folder of its own (as in Downloads),
        # started from another folder; a powershell.exe in each.
        planted, current = self.path("downloads"), self.path("current")
        for folder in (planted, current):
            os.makedirs(folder)
            shutil.copy(os.path.join(harness.build_dir(), "testhosts", "powershell.exe"), folder)
        launcher = shutil.copy(harness.launcher("testhosts"), planted)
        run = self.desktop.start_plain(
            launcher, ["--socks-port", str(self.env.socks_port), "--http-port", str(self.http_port)],
            self.launch_environment(powershell_mode="exit2"), cwd=current)
        box = self.desktop.wait_box(harness.ERROR_CAPTION, timeout=60)
        self.assertEqual(box.text, LAUNCH_FAILED_TEXT)
        box.dismiss()
        self.assertEqual(run.wait(timeout=30).exit_code, 6)
        self.assertEqual(self.powershell_paths(), [SYSTEM_POWERSHELL])
        with open(self.path("command-line"), "rb") as f:
            self.assertEqual(f.read(), LAUNCH_COMMAND)
        self.assert_settings_are_the_users()

    def test_running_app_refuses_before_any_output_and_other_names_do_not(self):
        for name, refused in (("lumaret.exe", True), ("LUMARET.EXE", True),
                              ("MyLumaret.exe", False), ("Lumaret.exe.old", False)):
            with self.subTest(name=name):
                for leftover in ("stop", "app.log", "command-line"):
                    if os.path.exists(self.path(leftover)):
                        os.remove(self.path(leftover))
                try:
                    self.check_running_app(name, refused)
                finally:
                    self.desktop.end_test_processes(grace=0)

    def check_running_app(self, name, refused):
        directory = os.path.join(self.work, "copy-" + name.replace(".", "-"))
        os.makedirs(directory)
        shutil.copy(os.path.join(harness.build_dir(), "testhosts", "Lumaret.exe"),
                    os.path.join(directory, name))
        self.desktop.start_plain(os.path.join(directory, name), [],
                                 self.launch_environment(app_tunnels="none"))
        harness.wait_until(lambda: os.path.exists(self.path("app.log")), 30,
                           message="the app copy did not start")
        requests_before = len(self.env.socks.requests)
        run = self.desktop.start_plain(
            harness.launcher("testhosts"),
            ["--socks-port", str(self.env.socks_port), "--http-port", str(self.http_port)],
            self.launch_environment(powershell_mode="exit2"))
        box = self.desktop.wait_box(harness.ERROR_CAPTION, timeout=60)
        self.assertEqual((box.icon, box.text),
                         ("error", APP_RUNNING_TEXT if refused else LAUNCH_FAILED_TEXT))
        box.dismiss()
        result = run.wait(timeout=30)
        if refused:
            # Nothing printed, no networking, no settings touched, no launch.
            self.assertEqual(result.exit_code, 5)
            self.assertEqual(result.stdout, b"")
            self.assertEqual(len(self.env.socks.requests), requests_before)
            self.assertFalse(os.path.exists(self.path("command-line")))
        else:
            self.assertEqual(result.exit_code, 6)
            self.assertTrue(result.stdout.startswith(transcripts.console(transcripts.BANNER + "\n")))
        self.assert_settings_are_the_users()


if __name__ == "__main__":
    unittest.main(argv=harness.parse_arguments())
