"""Whole runs of the launcher in a Wine console (test-hosts build) through to
the monitor: the route verified, the app stand-in's traffic confirmed, a
download by curl through the local proxy, then the end by ENTER or by the
SOCKS5 server going away (with --on-disconnect wait: outages waited out). Also with a login to microsocks (-u alice -P
secret), the password from the environment or typed at the console's prompt,
and then nowhere to be found: not on the screen, in the transcript, the
registry, a command line, a child's environment (as the PowerShell stand-in
received it) or a file. The password kept in Credential Manager: saved,
used without asking, refused, forgotten.

The test environment (tests/env) serves the test host names; the SOCKS5
server is either microsocks, resolving the test names through a hosts file
of its own, or the environment's own server.

    launcher_monitor_test.py --build-dir DIR [unittest arguments]
"""

import os
import re
import signal
import subprocess
import time
import unittest

import harness
import peers
import transcripts
from harness import EXIT_ADDRESS

USER = "alice"
PASSWORD = "secret"


def secret_forms(secret):
    """The ways a text can be stored: as bytes, as UTF-16, and as the hex
    pairs of a registry export of binary values."""
    forms = [secret.encode(), secret.encode("utf-16-le")]
    forms += [",".join("%02x" % b for b in form).encode() for form in list(forms)]
    return forms


class LauncherMonitor(harness.LauncherTestCase):
    user_values = harness.USER_VALUES

    def setUp(self):
        super().setUp()
        self.direct = self.serve_addresses()
        self.files = peers.FileServer()
        self.addCleanup(self.files.stop)

    def run_to_monitor(self, socks_port, extra=(), password=None, typed=None, after_check=""):
        """Starts the launcher in a console, checks the confirmed outcome box
        and the transcript through the monitor's lines; returns the run.
        password goes into the variable; typed is typed at the prompt, and
        the screen must show the prompt but not the text."""
        environment = dict(self.environment)
        environment.pop(transcripts.PASSWORD_VARIABLE, None)
        if password is not None:
            environment[transcripts.PASSWORD_VARIABLE] = password
        self.child_record = os.path.join(self.desktop.work_dir, "powershell-%d" % time.monotonic_ns())
        environment["LUMARET_TEST_POWERSHELL_RECORD"] = self.child_record
        run = self.desktop.start_console(
            harness.launcher("testhosts"),
            ["--socks-port", str(socks_port), "--http-port", str(self.http_port)] + list(extra),
            environment=environment)
        if typed is not None:
            # The screen is read back without its trailing blanks.
            prompt = (transcripts.PASSWORD_PROMPT % USER).rstrip()
            harness.wait_until(lambda: prompt in run.screen(), 30,
                               message="no password prompt on the screen")
            run.focus()
            run.type_text(typed)
            time.sleep(0.5)
            self.assertEqual(run.screen(), prompt + "\n", "typed text must not be echoed")
            run.press_enter()
        box = self.desktop.wait_box(transcripts.CONFIRMED_CAPTION, timeout=90, run=run)
        self.assertEqual((box.icon, box.buttons, box.text),
                         ("information", ["OK"], transcripts.confirmed_text(self.direct, EXIT_ADDRESS)))
        box.dismiss()
        expected = transcripts.run_transcript(socks_port, self.http_port, "monitor", https_status=200,
                                              direct=self.direct, exit_address=EXIT_ADDRESS,
                                              after_check=after_check)
        run.wait_output(transcripts.console(transcripts.MONITOR_LINES), timeout=30)
        self.assertEqual(run.output(), expected)
        return run, expected

    def test_enter_ends_a_run_through_microsocks_with_exit_0_also_after_its_backup_was_removed(self):
        self.wine.set_connections(harness.USER_CONNECTIONS)
        socks = self.start_microsocks()
        run, expected = self.run_to_monitor(socks.port)

        content = os.urandom(1 << 20)
        url = self.files.add_file("random.bin", content)
        self.assertEqual(peers.curl_through_proxy(self.http_port, url), content)

        # A registry cleaner takes the backup while the launcher serves: what
        # it held cannot come back, and the proxy that stops must not stay on.
        self.wine.reg("delete-key", harness.BACKUP)
        run.focus()
        run.press_enter()
        result = run.wait(timeout=30)
        self.assertEqual(result.exit_code, 0)
        self.assertEqual(result.stdout, expected + transcripts.console(transcripts.BACKUP_REMOVED))
        self.assertFalse(peers.is_listening(self.http_port), "the local proxy must be closed")
        self.assertEqual(self.wine.user_values(),
                         dict(harness.launcher_values(self.http_port), ProxyEnable=harness.dword(0)))
        self.assertEqual(self.wine.connections(),
                         harness.launcher_connections(self.http_port, switched_off=True))
        self.assertIsNone(self.wine.run_once())

    def assert_password_nowhere(self, run, since):
        """The password is in none of: the transcript, the registry (with
        the backup and the logon command, which exist now), the command
        lines of the prefix's programs (the watchdog among them), the
        environment that the launcher's child PowerShell received, and the
        prefix's files changed since the run started."""
        forms = secret_forms(PASSWORD)
        self.assertNotIn(PASSWORD.encode(), run.output())
        export = os.path.join(self.desktop.work_dir, "hkcu.reg")
        subprocess.run(["wine", "reg", "export", "HKCU", harness.windows_path(export), "/y"],
                       env=self.desktop.environment, capture_output=True, timeout=60, check=True)
        with open(export, "rb") as f:
            registry = f.read()
        self.assertIn(b"M\x00o\x00r\x00v\x00o\x00P\x00r\x00o\x00x\x00y\x00", registry,
                      "the backup should exist while the launcher serves")
        processes = self.desktop.test_processes()
        self.assertTrue([c for _, c in processes if "--restore-watchdog" in c],
                        "no watchdog among %r" % processes)
        with open(self.child_record + ".environment", "rb") as f:
            child_environment = f.read().split(b"\0")
        # The block is the inherited one: the test's own variable is in it.
        self.assertIn(b"LUMARET_TEST_POWERSHELL_RECORD=" + self.child_record.encode(),
                      child_environment)
        self.assertFalse([e for e in child_environment
                          if e.upper().startswith(transcripts.PASSWORD_VARIABLE.encode())])
        changed = subprocess.run(["find", self.desktop.prefix, "-type", "f", "-newermt",
                                  "@%f" % since], capture_output=True, check=True).stdout.split()
        for form in forms:
            self.assertNotIn(form, registry)
            self.assertNotIn(form, b"\0".join(child_environment))
            for pid, command in processes:
                self.assertNotIn(form.decode(), command)
            for path in changed:
                with open(path, "rb") as f:
                    self.assertNotIn(form, f.read(), path)

    def read_log(self, path):
        """The log's lines: UTF-8 without a byte-order mark, each ended by
        CR LF and stamped with the UTC time, and no form of the password."""
        with open(path, "rb") as f:
            data = f.read()
        for form in secret_forms(PASSWORD):
            self.assertNotIn(form, data)
        self.assertFalse(data.startswith(b"\xef\xbb\xbf"))
        self.assertTrue(data.endswith(b"\r\n"))
        lines = data.decode("utf-8").split("\r\n")[:-1]
        for line in lines:
            self.assertRegex(line, r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z [^\r\n]+$")
        return [line[25:] for line in lines]

    def kept_run(self, socks_port, extra=(), password=None, stdin=b"", box=transcripts.PORT_NOT_OPEN,
                 expected=None, **lines):
        """A plain run with --socks-user, its local port held, that shows box
        (exit 7 after a passed check, 4 after a refused login; **lines as
        run_transcript takes them) or none (exit 0 with the output expected).
        stdin goes into a pipe kept open; returns what the run left unread."""
        environment = dict(self.environment)
        environment.pop(transcripts.PASSWORD_VARIABLE, None)
        if password is not None:
            environment[transcripts.PASSWORD_VARIABLE] = password
        read_end, write_end = os.pipe()
        os.write(write_end, stdin)
        http_port = peers.free_port()  # the whole run's may still be in TIME_WAIT
        exit_code = 0
        with peers.HeldPort(http_port):
            run = self.desktop.start_plain(harness.launcher("testhosts"), [
                "--socks-port", str(socks_port), "--http-port", str(http_port), "--socks-user",
                USER] + list(extra), environment, stdin=read_end)
            if box is not None:
                shown = self.desktop.wait_box(transcripts.ERROR_CAPTION, timeout=30, run=run)
                self.assertEqual((shown.icon, shown.text), ("error", box))
                shown.dismiss()
                exit_code = 7 if box == transcripts.PORT_NOT_OPEN else 4
                expected = transcripts.run_transcript(
                    socks_port, http_port, "socks-passed" if exit_code == 7 else "socks-failed", **lines)
            result = run.wait(timeout=30)
        self.assertEqual((result.exit_code, result.stdout), (exit_code, expected))
        os.set_blocking(read_end, False)
        try:
            return os.read(read_end, 100)
        except BlockingIOError:
            return b""
        finally:
            os.close(read_end)
            os.close(write_end)

    def test_login_by_the_variable_runs_to_the_monitor_and_the_password_stays_secret(self):
        socks = self.start_microsocks(user=USER, password=PASSWORD)
        account = "%s@127.0.0.1:%d" % (USER, socks.port)
        since = time.time()
        # The log in a folder outside Wine's ANSI code page here (1252); the
        # app stand-in ends by itself, so that a second run may start.
        self.environment.update(LC_ALL="C.UTF-8", LUMARET_TEST_APP_TIMEOUT_MS="3000")
        # (Not below self.work, whose name holds the password's word.)
        folder = os.path.join(self.desktop.work_dir, "журнал-%d" % time.monotonic_ns())
        os.makedirs(folder)
        log = os.path.join(folder, "run.log")
        # The password is kept once the server took it, encrypted: the
        # prefix's files do not hold it either.
        run, expected = self.run_to_monitor(
            socks.port, ["--socks-user", USER, "--save-password", "--log", harness.windows_path(log)],
            password=PASSWORD, after_check=transcripts.PASSWORD_SAVED)
        # Every tunnel logs in, also a client's of its own.
        content = os.urandom(1 << 16)
        self.assertEqual(peers.curl_through_proxy(self.http_port, self.files.add_file("a", content)),
                         content)
        self.assert_password_nowhere(run, since)
        run.focus()
        run.press_enter()
        result = run.wait(timeout=30)
        self.assertEqual((result.exit_code, result.stdout), (0, expected))
        credential = (r"Software\Wine\Credential Manager\Generic: "
                      + transcripts.PASSWORD_TARGET % account)
        # A generic credential (type 1) kept on this computer (persist 2).
        self.assertEqual(self.wine.read(credential, ["UserName", "Type", "Persist"]),
                         {"UserName": harness.text(harness.REG_SZ, USER), "Type": harness.dword(1),
                          "Persist": harness.dword(2)})
        # A server that lets the run in without the login never checked the
        # password: it is not kept.
        self.kept_run(self.env.socks_port, ["--save-password"], password="unchecked",
                      after_check=transcripts.PASSWORD_NOT_ASKED)
        unchecked = (r"Software\Wine\Credential Manager\Generic: "
                     + transcripts.PASSWORD_TARGET % ("%s@127.0.0.1:%d" % (USER, self.env.socks_port)))
        self.assertEqual(self.wine.reg("key", unchecked).strip(), "absent")
        # The variable wins over the kept password, and a refused one is not kept.
        self.kept_run(socks.port, ["--save-password"], password="wrong",
                      box=transcripts.SOCKS_LOGIN_REJECTED)
        # Without it the kept one logs in, and standard input is left unread.
        self.assertEqual(self.kept_run(socks.port, stdin=b"wrong\r\n",
                                       before=transcripts.USING_SAVED_PASSWORD), b"wrong\r\n")
        # A kept password that the server no longer takes.
        socks.stop()
        self.start_microsocks(port=socks.port, user=USER, password="changed")
        self.kept_run(socks.port, box=transcripts.SOCKS_LOGIN_REJECTED,
                      before=transcripts.USING_SAVED_PASSWORD,
                      after_check=transcripts.SAVED_PASSWORD_REFUSED)
        # Forgetting needs no server; then the password is asked for again.
        with peers.SilentServer() as silent:
            self.kept_run(socks.port, ["--forget-password", "--save-password"], box=None,
                          expected=transcripts.console(transcripts.PASSWORD_REMOVED % account))
            self.kept_run(silent.port, ["--forget-password"], box=None, expected=transcripts.console(
                transcripts.NO_PASSWORD_SAVED % ("%s@127.0.0.1:%d" % (USER, silent.port))))
            self.assertEqual(silent.accepted, 0)
        self.assertEqual(self.wine.reg("key", credential).strip(), "absent")
        self.assertEqual(self.kept_run(socks.port, stdin=b"changed\r\n"), b"")

        lines = self.read_log(log)
        self.assertEqual(lines[:2], ["Start: Lumaret Desktop Proxy Launcher 1.3 beta",
                                     "Options: --socks-host 127.0.0.1 --socks-port %d --http-port %d "
                                     "--log %s --save-password"
                                     % (socks.port, self.http_port, harness.windows_path(log))])
        self.assertEqual(lines[2], "SOCKS5 login: user alice")
        for line in ("SOCKS5 password: from the environment",
                     "SOCKS5 password saved in Windows Credential Manager"):
            self.assertIn(line, lines)
        self.assertRegex("\n".join(lines[lines.index("PowerShell started to launch the app"):]),
                         r"Tunnel from client port \d+ opened: target [^ ]+:443, SOCKS5 reply 0, "
                         r"app traffic")
        curl = "target 127.0.0.1:%d" % self.files.port
        self.assertIn("opened: %s, SOCKS5 reply 0, not app traffic" % curl, "\n".join(lines))
        self.assertRegex("\n".join(lines), r"closed: %s, \d+ bytes up, \d{5,} bytes down, \d+\.\d{3} s"
                         % re.escape(curl))
        after_enter = "\n".join(lines[lines.index("Monitor ended: ENTER was pressed"):])
        self.assertRegex(after_enter, r"\nRestore: the user's proxy settings were put back and the "
                                      r"backup deleted\n(.*\n)*Restore by the launcher: done, \d+ ms\n")
        self.assertEqual(lines[-1], "End: exit code 0")

        # A second run forwards plain HTTP: each request to its own site only,
        # and the client told that the connection ends; then kill -9, and the
        # watchdog appends its restore to the same file.
        second_port = peers.free_port()
        second = self.desktop.start_plain(
            harness.launcher("testhosts"), ["--socks-port", str(self.env.socks_port), "--http-port",
                                            str(second_port), "--log", harness.windows_path(log),
                                            "--plain-http", "forward",
                                            "--bypass", " Intranet.Example ;LOCALHOST"],
            self.environment)
        second.wait_output(b"Restore watchdog: ACTIVE", timeout=90)
        with peers.KeepAliveOrigin(b"page") as origin:
            url = b"http://127.0.0.1:%d/one" % origin.port
            self.assertEqual(peers.exchange(second_port, b"GET %s HTTP/1.1\r\nHost: x\r\n\r\n"
                                                         b"GET %s/two HTTP/1.1\r\n\r\n" % (url, url)),
                             b"HTTP/1.1 200 OK\r\nContent-Length: 4\r\nConnection: close\r\n\r\npage")
            self.assertEqual(origin.heads, [b"GET /one HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n"
                                            b"Connection: close\r\n\r\n" % origin.port])
        os.kill(second.process.pid, signal.SIGKILL)
        second.process.wait()
        harness.wait_until(lambda: self.read_log(log)[-1].startswith("Restore by the watchdog: "), 15,
                           message="no restore by the watchdog in the log")
        added = self.read_log(log)[len(lines):]
        self.assertEqual(added[0], lines[0])
        self.assertTrue(added[1].endswith(" --plain-http forward --bypass Intranet.Example"), added[1])
        self.assertRegex("\n".join(added[-3:]),
                         r"^Watchdog: launcher process \d+ ended, its backup stands; restoring it\n"
                         r"Restore: the user's proxy settings were put back and the backup deleted\n"
                         r"Restore by the watchdog: done, \d+ ms$")
        self.assert_user_values_back()

    def test_login_by_a_typed_password_that_is_not_echoed_runs_to_the_monitor(self):
        socks = self.start_microsocks(user=USER, password=PASSWORD)
        since = time.time()
        run, expected = self.run_to_monitor(socks.port, ["--socks-user", USER], typed=PASSWORD)
        self.assert_password_nowhere(run, since)
        run.focus()
        run.press_enter()
        result = run.wait(timeout=30)
        self.assertEqual((result.exit_code, result.stdout), (0, expected))

    def test_password_prompt_ended_by_ctrl_c_leaves_echo_on(self):
        environment = dict(self.environment)
        environment.pop(transcripts.PASSWORD_VARIABLE, None)
        run = self.desktop.start_console(
            harness.launcher("testhosts"), ["--socks-user", USER, "--http-port", str(self.http_port)],
            environment=environment)
        # The prompt shows once echo is off.
        prompt = (transcripts.PASSWORD_PROMPT % USER).rstrip()
        harness.wait_until(lambda: prompt in run.screen(), 30, message="no password prompt")
        run.ctrl_c()
        run.wait(timeout=30)
        enable_echo_input = 0x4
        mode = run.input_mode()
        self.assertIsNotNone(mode)
        self.assertTrue(mode & enable_echo_input, "console input mode 0x%x without echo" % mode)

    def test_on_disconnect_wait_keeps_the_local_proxy_through_outages_and_enter_ends_with_12(self):
        socks = self.start_microsocks()
        run, expected = self.run_to_monitor(socks.port, ["--on-disconnect", "wait"])
        waiting = transcripts.console(transcripts.WAITING_LINE)
        again = transcripts.console(transcripts.REACHABLE_AGAIN_LINE)
        url = self.files.add_file("page", b"page")
        for outage in (1, 2):
            socks.stop()
            run.wait_output(expected + waiting, timeout=15)
            # Nothing goes direct: the settings stay, and the proxy answers 502.
            self.assertEqual(self.wine.user_values(), harness.launcher_values(self.http_port))
            self.assertTrue(peers.exchange(self.http_port, b"CONNECT 127.0.0.1:%d HTTP/1.1\r\n\r\n"
                                           % self.files.port).startswith(b"HTTP/1.1 502 "))
            expected += waiting
            if outage == 2:
                break
            socks = self.start_microsocks(port=socks.port)
            run.wait_output(expected + again, timeout=15)
            expected += again
            self.assertEqual(peers.curl_through_proxy(self.http_port, url), b"page")
        run.focus()
        run.press_enter()
        result = run.wait(timeout=30)
        self.assertEqual((result.exit_code, result.stdout), (12, expected))
        self.assert_user_values_back()

    def test_socks5_server_gone_during_the_monitor_restores_before_the_box_and_ends_with_12(self):
        run, _ = self.run_to_monitor(self.env.socks_port)
        self.assertEqual(self.wine.user_values(), harness.launcher_values(self.http_port))
        self.env.socks.stop()
        box = self.desktop.wait_box(transcripts.DISCONNECT_CAPTION, timeout=15, run=run)
        # The user's settings are back while the box still waits for a click.
        self.assert_user_values_back()
        self.assertEqual((box.icon, box.buttons, box.text),
                         ("warning", ["OK"], transcripts.DISCONNECT_TEXT))
        self.assertEqual(run.output(), transcripts.run_transcript(
            self.env.socks_port, self.http_port, "disconnect", https_status=200, direct=self.direct,
            exit_address=EXIT_ADDRESS))
        box.dismiss()
        result = run.wait(timeout=30)
        self.assertEqual(result.exit_code, 12)


if __name__ == "__main__":
    unittest.main(argv=harness.parse_arguments())
