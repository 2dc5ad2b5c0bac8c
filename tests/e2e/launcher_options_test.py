"""The launcher's command line under Wine (product build): the help text and
the option errors, each with its exact output, box and exit code.

    launcher_options_test.py --build-dir DIR [unittest arguments]
"""

import os
import unittest

import harness
import transcripts


class LauncherOptions(harness.LauncherTestCase):
    test_environment = False

    def test_help_prints_seven_lines_and_exits_0_without_a_box(self):
        for arguments in (["--help"], ["--socks-port", "1", "--help"], ["--http-port", "0", "--help"]):
            with self.subTest(arguments=arguments):
                # A box would block the run until the time-out: ending in
                # time proves there was none.
                result = self.desktop.run(harness.launcher(), arguments, timeout=30)
                self.assertEqual(result.stdout, transcripts.HELP)
                self.assertEqual(result.exit_code, 0)
                self.assertIsNone(self.desktop.find_window(harness.ERROR_CAPTION))

    def test_option_errors_exit_2_with_their_box_and_no_output(self):
        # The password cases: the variable empty or too long, or neither it
        # nor a line on standard input (a plain run's is empty).
        user = ["--socks-user", "alice", "--socks-port", "1"]
        cases = [
            (["--socks-host"], transcripts.MISSING_VALUE, None),
            (["--bogus"], transcripts.MISSING_VALUE, None),
            (["--bogus", "x"], transcripts.UNKNOWN_OPTION, None),
            (["--HELP", "x"], transcripts.UNKNOWN_OPTION, None),
            (["--http-port", "0"], transcripts.INVALID_PORT, None),
            (["--http-port", "65536", "--socks-port", "1"], transcripts.INVALID_PORT, None),
            (["--socks-user"], transcripts.MISSING_VALUE, None),
            (["--socks-user", ""], transcripts.INVALID_USER, None),
            (["--socks-user", "u" * 256], transcripts.INVALID_USER, None),
            (["--save-password"], transcripts.NEEDS_USER, None),
            (["--socks-port", "1", "--forget-password"], transcripts.NEEDS_USER, None),
            (user, transcripts.INVALID_PASSWORD, ""),
            (user, transcripts.INVALID_PASSWORD, "p" * 256),
            (user, transcripts.INVALID_PASSWORD, None),
            # Before the password: nothing is asked, created or changed.
            (["--log", harness.windows_path(self.path("missing/run.log"))] + user,
             transcripts.LOG_NOT_OPENED, None),
            (["--bypass", " ; ;"], transcripts.INVALID_BYPASS, None),
            (["--plain-http", "Forward"], transcripts.INVALID_PLAIN_HTTP, None),
            (["--on-disconnect", "keep", "--log", harness.windows_path(self.path("missing/run.log"))],
             transcripts.INVALID_DISCONNECT, None),
        ]
        for arguments, text, password in cases:
            with self.subTest(arguments=[a[:20] for a in arguments], password=password and len(password)):
                environment = self.desktop.environment
                environment.pop(transcripts.PASSWORD_VARIABLE, None)
                if password is not None:
                    environment[transcripts.PASSWORD_VARIABLE] = password
                run = self.desktop.start_plain(harness.launcher(), arguments, environment)
                box = self.desktop.wait_box(harness.ERROR_CAPTION, timeout=30)
                self.assertEqual((box.icon, box.buttons, box.text), ("error", ["OK"], text))
                self.assertTrue(run.running(), "the run must wait for its box")
                box.dismiss()
                result = run.wait(timeout=30)
                self.assertEqual(result.exit_code, 2)
                self.assertEqual(result.stdout, b"")
        self.assertFalse(os.path.exists(self.path("missing")))
        self.assertFalse(self.wine.backup_exists())


if __name__ == "__main__":
    unittest.main(argv=harness.parse_arguments())
