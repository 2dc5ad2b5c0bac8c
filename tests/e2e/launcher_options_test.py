"""The launcher's command line under Wine (product build): the help text, the
version, the desktop shortcut and the option errors, each with its exact
output, box and exit code.

    launcher_options_test.py --build-dir DIR [unittest arguments]
"""

import os
import pwd
import unittest

import harness
import transcripts


class LauncherOptions(harness.LauncherTestCase):
    test_environment = False

    def shortcut_path(self):
        """The desktop shortcut's Linux path in the prefix (tests/wine/prepare-prefix
        makes the desktop a folder of the prefix)."""
        return os.path.join(self.desktop.prefix, "drive_c", "users", pwd.getpwuid(os.getuid()).pw_name,
                            "Desktop", transcripts.SHORTCUT_NAME)

    def leave_complete_backup(self):
        """A backup that the restore at the start of a run would put back and
        delete; returns the user's values as they stand beside it."""
        self.addCleanup(self.wine.reset, harness.USER_VALUES)
        super().leave_complete_backup()
        return self.wine.user_values()

    def assert_nothing_else_ran(self, user_values):
        self.assertEqual(self.wine.read(harness.BACKUP, ["Active"]), {"Active": harness.dword(1)})
        self.assertEqual(self.wine.user_values(), user_values)

    def test_help_and_version_print_and_exit_0_without_a_box_or_a_restore(self):
        user_values = self.leave_complete_backup()
        for arguments, expected in ((["--help"], transcripts.HELP),
                                    (["--socks-port", "1", "--help"], transcripts.HELP),
                                    (["--http-port", "0", "--help"], transcripts.HELP),
                                    (["--help", "--version"], transcripts.HELP),
                                    (["--version"], transcripts.VERSION),
                                    (["--http-port", "0", "--version", "--help"], transcripts.VERSION),
                                    (["--create-shortcut", "--version"], transcripts.VERSION)):
            with self.subTest(arguments=arguments):
                # A box would block the run until the time-out: ending in
                # time proves there was none.
                result = self.desktop.run(harness.launcher(), arguments, timeout=30)
                self.assertEqual(result.stdout, expected)
                self.assertEqual(result.exit_code, 0)
                self.assertIsNone(self.desktop.find_window(harness.ERROR_CAPTION))
        self.assert_nothing_else_ran(user_values)
        self.assertFalse(os.path.exists(self.shortcut_path()))

    def test_create_shortcut_keeps_the_other_options_replaces_its_own_and_tells_a_failure(self):
        user_values = self.leave_complete_backup()
        path = self.shortcut_path()
        self.addCleanup(lambda: os.path.isdir(path) and os.rmdir(path))
        self.addCleanup(lambda: os.path.isfile(path) and os.remove(path))
        program = harness.windows_path(harness.launcher())
        kept = ["--socks-user", "alice", "--bypass", "a.example; b.example", "--socks-host",
                'odd "host" \\', "--http-port", "18119"]
        for arguments, expected in (
                (kept[:4] + ["--create-shortcut", "--save-password"] + kept[4:], kept),
                (["--socks-port", "1081", "--create-shortcut"], ["--socks-port", "1081"])):
            with self.subTest(arguments=arguments):
                result = self.desktop.run(harness.launcher(), arguments, timeout=30)
                self.assertEqual(result.exit_code, 0)
                windows_path = "C:\\users\\%s\\Desktop\\%s" % (
                    pwd.getpwuid(os.getuid()).pw_name, transcripts.SHORTCUT_NAME)
                self.assertEqual(result.stdout,
                                 transcripts.console(transcripts.SHORTCUT_CREATED % windows_path))
                lines = self.desktop.run_tool("shortcut_read.exe", [windows_path]).stdout
                lines = lines.decode().splitlines()
                self.assertEqual(lines[0], "target=" + program)
                self.assertEqual(lines[2:4], ["folder=" + program.rsplit("\\", 1)[0],
                                              "icon=%s,0" % program])
                self.assertEqual(lines[4:], ["argument=" + a for a in expected])
        self.assert_nothing_else_ran(user_values)

        # A folder in the shortcut's place: the box, exit 2, no line.
        os.remove(path)
        os.mkdir(path)
        run = self.desktop.start_plain(harness.launcher(), ["--create-shortcut"])
        box = self.desktop.wait_box(harness.ERROR_CAPTION, timeout=30)
        self.assertEqual((box.icon, box.buttons, box.text),
                         ("error", ["OK"], transcripts.SHORTCUT_NOT_CREATED))
        box.dismiss()
        result = run.wait(timeout=30)
        self.assertEqual((result.exit_code, result.stdout), (2, b""))

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
            (["--bogus", "x", "--version"], transcripts.UNKNOWN_OPTION, None),
            # The shortcut's options are checked as a run's: no shortcut.
            (["--create-shortcut", "--bypass", " ; ;"], transcripts.INVALID_BYPASS, None),
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
        self.assertFalse(os.path.exists(self.shortcut_path()))


if __name__ == "__main__":
    unittest.main(argv=harness.parse_arguments())
