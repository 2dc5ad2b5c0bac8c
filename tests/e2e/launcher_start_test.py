"""The launcher's start under Wine (product build) up to its local port: the
SOCKS5 pre-check against no server, a silent server and microsocks (also one
that asks for a login), the bytes it sends, and a local port that another
program holds.

    launcher_start_test.py --build-dir DIR [unittest arguments]
"""

import os
import tempfile
import time
import unittest

import harness
import peers
import transcripts

APP_HOST = "app.lumaret.com"


def connect_request(host, port):
    """The CONNECT request by domain name that the launcher sends."""
    return bytes([5, 1, 0, 3, len(host)]) + host.encode() + port.to_bytes(2, "big")


class LauncherStart(harness.LauncherTestCase):
    test_environment = False

    def run_until_box(self, socks_port, text, exit_code, until, extra=(), password=None,
                      password_line=None, after_check=""):
        """Runs the launcher against socks_port with the extra arguments;
        expects the error box with text, then exit_code and the transcript up
        to until, with after_check after the "[1/3]" verdict. password goes
        into the variable; password_line is a line on standard input instead.
        Returns the result and the seconds from the "[1/3]" line to its verdict."""
        arguments = ["--socks-port", str(socks_port), "--http-port", str(self.http_port)]
        arguments += list(extra)
        # Wine reads the Unix command line and environment in the locale's
        # character set.
        environment = dict(self.desktop.environment, LC_ALL="C.UTF-8")
        environment.pop(transcripts.PASSWORD_VARIABLE, None)
        if password is not None:
            environment[transcripts.PASSWORD_VARIABLE] = password
        if password_line is None:
            run = self.desktop.start_plain(harness.launcher(), arguments, environment)
        else:
            # cmd's redirection gives the launcher a file, not a console, as
            # standard input.
            handle, line_file = tempfile.mkstemp(dir=self.desktop.work_dir)
            os.write(handle, password_line)
            os.close(handle)
            run = self.desktop.start_plain("cmd", ["/c", harness.windows_path(harness.launcher())]
                                           + arguments + ["<", harness.windows_path(line_file)],
                                           environment)
        run.wait_output(transcripts.SOCKS_CHECK.encode(), timeout=30)
        checking_since = time.monotonic()
        run.wait_output(b"... FAILED" if until == "socks-failed" else b"... PASSED", timeout=30)
        check_seconds = time.monotonic() - checking_since
        box = self.desktop.wait_box(transcripts.ERROR_CAPTION, timeout=30, run=run)
        self.assertEqual((box.icon, box.buttons, box.text), ("error", ["OK"], text))
        box.dismiss()
        result = run.wait(timeout=30)
        self.assertEqual(result.stdout, transcripts.run_transcript(socks_port, self.http_port, until,
                                                                   after_check=after_check))
        self.assertEqual(result.exit_code, exit_code)
        return result, check_seconds

    def test_no_socks5_server_fails_the_check_with_exit_4(self):
        self.run_until_box(peers.free_port(), transcripts.SOCKS_FAILED, 4, "socks-failed")

    def test_silent_socks5_server_fails_the_check_after_5_seconds(self):
        with peers.SilentServer() as black_hole:
            _, seconds = self.run_until_box(black_hole.port, transcripts.SOCKS_FAILED, 4,
                                            "socks-failed")
            self.assertGreaterEqual(black_hole.accepted, 1)
        self.assertTrue(4.0 <= seconds <= 9.0, "the check gave up after %.1f s" % seconds)

    def test_taken_local_port_ends_with_exit_7(self):
        # microsocks reaches the app host at a loopback address of our own,
        # where a silent server accepts: the check passes, then the port is
        # found taken.
        with peers.SilentServer(listener=peers.bind_random_loopback(443)) as app, \
                peers.Microsocks(hosts={APP_HOST: app.address}) as socks, \
                peers.HeldPort(self.http_port):
            self.run_until_box(socks.port, transcripts.PORT_NOT_OPEN, 7, "socks-passed")
            self.assertGreaterEqual(app.accepted, 1)

    def registry_state(self):
        values = self.wine.reg("get", harness.INTERNET_SETTINGS, *harness.SETTING_NAMES)
        return values, self.wine.reg("key", harness.BACKUP).strip()

    def test_login_rejected_or_not_given_fails_the_check_with_its_own_text_and_exit_4(self):
        before = self.registry_state()
        self.assertEqual(before[1], "absent")
        log = self.path("run.log")
        with peers.Microsocks(user="alice", password="secret") as socks:
            self.run_until_box(socks.port, transcripts.SOCKS_LOGIN_REJECTED, 4, "socks-failed",
                               extra=["--socks-user", "alice"], password="wrong")
            # Without a user name the server refuses the only method offered:
            # the usual box, after a line that says what is missing.
            self.run_until_box(socks.port, transcripts.SOCKS_FAILED, 4, "socks-failed",
                               extra=["--log", harness.windows_path(log)],
                               after_check=transcripts.LOGIN_NEEDED)
        with open(log, "rb") as f:
            self.assertIn(transcripts.LOGIN_NEEDED.encode().rstrip(b"\n") + b"\r\n", f.read())
        self.assertEqual(self.registry_state(), before)

    def test_login_with_the_password_on_standard_input_passes_the_check(self):
        with peers.SilentServer(listener=peers.bind_random_loopback(443)) as app, \
                peers.Microsocks(hosts={APP_HOST: app.address}, user="alice",
                                 password="secret") as socks, \
                peers.HeldPort(self.http_port):
            self.run_until_box(socks.port, transcripts.PORT_NOT_OPEN, 7, "socks-passed",
                               extra=["--socks-user", "alice"], password_line=b"secret\r\n")
            self.assertGreaterEqual(app.accepted, 1)

    def test_bytes_on_the_wire_with_and_without_a_user_name(self):
        # Without a user name the greeting offers "no authentication" alone,
        # as it always did; with one, a server that needs no login gets both
        # methods offered and then the same request, with no login between.
        # A server that asks for the login gets the user name from the
        # command line and the password from the variable as UTF-8, also
        # outside the ANSI code page (1252 here).
        request = connect_request(APP_HOST, 443)
        user, password = "иван", "пароль"
        login = (bytes([1, len(user.encode())]) + user.encode()
                 + bytes([len(password.encode())]) + password.encode())
        cases = [((), 0x00, bytes([5, 1, 0]) + request),
                 (("--socks-user", "alice"), 0x00, bytes([5, 2, 0, 2]) + request),
                 (("--socks-user", user), 0x02, bytes([5, 2, 0, 2]) + login)]
        for extra, method, expected in cases:
            with self.subTest(extra=extra), peers.RecordingSocks5(method=method) as socks:
                self.run_until_box(socks.port, transcripts.SOCKS_FAILED, 4, "socks-failed",
                                   extra=extra, password=password if method else "secret")
                harness.wait_until(lambda: socks.sessions, 5)
                self.assertEqual(socks.sessions, [expected])

if __name__ == "__main__":
    unittest.main(argv=harness.parse_arguments())
