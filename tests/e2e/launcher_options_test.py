"""The launcher's command line under Wine (product build): the help text and
the option errors, each with its exact output, box and exit code.

    launcher_options_test.py --build-dir DIR [unittest arguments]
"""

import sys
import unittest

import harness
import transcripts


class LauncherOptions(unittest.TestCase):
    def setUp(self):
        self.desktop = harness.desktop()

    def tearDown(self):
        self.desktop.end_test_processes()

    def test_help_prints_six_lines_and_exits_0_without_a_box(self):
        for arguments in (["--help"], ["--socks-port", "1", "--help"], ["--http-port", "0", "--help"]):
            with self.subTest(arguments=arguments):
                # A box would block the run until the time-out: ending in
                # time proves there was none.
                result = self.desktop.run(harness.launcher(), arguments, timeout=30)
                self.assertEqual(result.stdout, transcripts.HELP)
                self.assertEqual(result.exit_code, 0)
                self.assertIsNone(self.desktop.find_window(harness.ERROR_CAPTION))

    def test_option_errors_exit_2_with_their_box_and_no_output(self):
        cases = [
            (["--socks-host"], transcripts.MISSING_VALUE),
            (["--bogus"], transcripts.MISSING_VALUE),
            (["--bogus", "x"], transcripts.UNKNOWN_OPTION),
            (["--HELP", "x"], transcripts.UNKNOWN_OPTION),
            (["--http-port", "0"], transcripts.INVALID_PORT),
            (["--http-port", "65536", "--socks-port", "1"], transcripts.INVALID_PORT),
        ]
        for arguments, text in cases:
            with self.subTest(arguments=arguments):
                run = self.desktop.start_plain(harness.launcher(), arguments)
                box = self.desktop.wait_box(harness.ERROR_CAPTION, timeout=30)
                self.assertEqual((box.icon, box.buttons, box.text), ("error", ["OK"], text))
                self.assertTrue(run.running(), "the run must wait for its box")
                box.dismiss()
                result = run.wait(timeout=30)
                self.assertEqual(result.exit_code, 2)
                self.assertEqual(result.stdout, b"")


if __name__ == "__main__":
    unittest.main(argv=harness.parse_arguments())
