"""The launcher's start under Wine (product build) up to its local port: the
SOCKS5 pre-check against no server, a silent server and microsocks, and a
local port that another program holds.

    launcher_start_test.py --build-dir DIR [unittest arguments]
"""

import time
import unittest

import harness
import peers
import transcripts

APP_HOST = "app.lumaret.com"


class LauncherStart(unittest.TestCase):
    def setUp(self):
        self.desktop = harness.desktop()
        self.http_port = peers.free_port()

    def tearDown(self):
        self.desktop.end_test_processes()

    def run_until_box(self, socks_port, text, exit_code, until):
        """Runs the launcher against socks_port; expects the error box with
        text, then exit_code and the transcript up to until. Returns the
        result and the seconds from the "[1/3]" line to its verdict."""
        run = self.desktop.start_plain(harness.launcher(), ["--socks-port", str(socks_port),
                                                           "--http-port", str(self.http_port)])
        run.wait_output(transcripts.SOCKS_CHECK.encode(), timeout=30)
        checking_since = time.monotonic()
        run.wait_output(b"... FAILED" if until == "socks-failed" else b"... PASSED", timeout=30)
        check_seconds = time.monotonic() - checking_since
        box = self.desktop.wait_box(transcripts.ERROR_CAPTION, timeout=30, run=run)
        self.assertEqual((box.icon, box.buttons, box.text), ("error", ["OK"], text))
        box.dismiss()
        result = run.wait(timeout=30)
        self.assertEqual(result.stdout, transcripts.run_transcript(socks_port, self.http_port, until))
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


if __name__ == "__main__":
    unittest.main(argv=harness.parse_arguments())
