"""The launcher's HTTPS probe ("[2/3]") and public address queries under
Wine (test-hosts build) against the test environment (tests/env): the status
line of a passing probe, the requests the probes send, the broken routes that
end a run with exit 9 before the user's proxy settings are touched, and
failed address queries that do not stop the run.

    https_probes_test.py --build-dir DIR [unittest arguments]
"""

import unittest

import harness
import certs
import peers
import transcripts
from harness import DIRECT_ADDRESS, EXIT_ADDRESS, INTERNET_SETTINGS

HTTPS_FAILED = ("End-to-end verification failed.\n\nThe SOCKS port is open, but an HTTPS request "
                "to app.lumaret.test could not complete through the converted proxy.")
# The user's own settings, as regdump writes them: "NAME TYPE HEX".
USER_SETTINGS = (("ProxyEnable", 4, "01000000"),
                 ("ProxyServer", 1, b"corp.example:3128\0".hex()),
                 ("ProxyOverride", 1, b"*.corp.example\0".hex()))


class HttpsProbes(harness.LauncherTestCase):
    def setUp(self):
        super().setUp()
        self.direct = self.serve_addresses("\r\n")

    def user_settings(self):
        return self.wine.reg("get", INTERNET_SETTINGS, *(name for name, _, _ in USER_SETTINGS))

    def start_launcher(self):
        self.http_port = peers.free_port()
        return self.desktop.start_plain(
            harness.launcher("testhosts"),
            ["--socks-port", str(self.env.socks_port), "--http-port", str(self.http_port)],
            environment=self.environment)

    def end_through_socks5_disconnect(self, run):
        """Ends a run that reached the monitor: the SOCKS5 server goes away."""
        run.wait_output(transcripts.console(transcripts.MONITOR_LINES), timeout=60)
        self.env.socks.stop()
        self.desktop.wait_box(transcripts.DISCONNECT_CAPTION, timeout=15).dismiss()
        self.assertEqual(run.wait(timeout=30).exit_code, 12)

    def test_head_answered_403_passes_and_both_addresses_are_reported(self):
        self.env.app.head_status = 403
        run = self.start_launcher()
        box = self.desktop.wait_box(transcripts.CONFIRMED_CAPTION, timeout=90)
        self.assertEqual(box.text, transcripts.confirmed_text(self.direct, EXIT_ADDRESS))
        box.dismiss()
        self.end_through_socks5_disconnect(run)
        self.assertEqual(run.output(), transcripts.run_transcript(
            self.env.socks_port, self.http_port, "disconnect", https_status=403,
            direct=self.direct, exit_address=EXIT_ADDRESS))

        # One HEAD through the tunnel, one GET each way, with their own agents.
        heads = [(r.method, r.headers.get("user-agent")) for r in self.env.app.requests_for()]
        self.assertEqual(heads, [("HEAD", "LumaretDesktopProxyLauncher/1.0")])
        gets = [(r.route, r.method, r.target.endswith("/"), r.headers.get("user-agent"))
                for r in self.env.address.requests_for()]
        expected = [("proxied", "GET", True, "LumaretDesktopProxyLauncher/1.3")]
        if self.env.direct_available:
            expected.insert(0, ("direct", "GET", True, "LumaretDesktopProxyLauncher/1.3"))
        self.assertEqual(gets, expected)
        # The direct query bypasses the proxy: only the proxied one is tunnelled.
        self.assertEqual(self.env.socks.hosts_requested().count(certs.ADDRESS_HOST), 1)

    def test_broken_route_ends_with_exit_9_and_leaves_the_settings_alone(self):
        breakages = {
            "certificate from an untrusted CA": lambda: setattr(self.env.app, "certificate",
                                                                "untrusted"),
            "certificate for another name": lambda: setattr(self.env.app, "certificate",
                                                            "wrong-name"),
            "server closes without an answer": lambda: setattr(self.env.app, "mode", "close"),
            # The pre-check's CONNECT goes through; the probe's is refused.
            "SOCKS5 server refuses the host": lambda: self.env.socks.refuse(certs.APP_HOST, 0x05,
                                                                             after=1),
        }
        for name, breakage in breakages.items():
            with self.subTest(name):
                try:
                    self.check_exit_9(breakage)
                finally:
                    self.desktop.end_test_processes()

    def check_exit_9(self, breakage):
        for value_name, kind, data in USER_SETTINGS:
            self.wine.reg("set", INTERNET_SETTINGS, value_name, str(kind), data)
        before = self.user_settings()
        self.env.app.certificate, self.env.app.mode = "trusted", "answer"
        self.env.socks.clear_refusals()
        breakage()

        run = self.start_launcher()
        try:
            box = self.desktop.wait_box(transcripts.ERROR_CAPTION, timeout=60)
        except harness.HarnessError as error:
            raise AssertionError("%s; launcher output %r" % (error, run.output()))
        self.assertEqual((box.icon, box.buttons, box.text), ("error", ["OK"], HTTPS_FAILED))
        box.dismiss()
        result = run.wait(timeout=30)
        self.assertEqual(result.exit_code, 9)
        self.assertEqual(result.stdout, transcripts.run_transcript(
            self.env.socks_port, self.http_port, "https-failed"))
        self.assertEqual(self.user_settings(), before)
        self.assertFalse(peers.is_listening(self.http_port), "the local proxy must be closed")

    def test_failed_address_queries_read_unavailable_and_the_run_goes_on(self):
        self.env.set_address("direct", 503, (DIRECT_ADDRESS + "\n").encode())
        self.env.set_address("proxied", 200, b"ok\n")
        run = self.start_launcher()
        box = self.desktop.wait_box(transcripts.CONFIRMED_CAPTION, timeout=90)
        self.assertEqual(box.text, transcripts.confirmed_text("Unavailable", "Unavailable"))
        box.dismiss()
        self.end_through_socks5_disconnect(run)
        probe_lines = transcripts.console(
            transcripts.HTTPS_CHECK + "PASSED (HTTP 200)\n"
            "      Querying direct public IP... UNAVAILABLE\n"
            "      Querying SOCKS5 exit IP... UNAVAILABLE\n"
            "      Restore watchdog: ACTIVE\n")
        self.assertIn(probe_lines, run.output())


if __name__ == "__main__":
    unittest.main(argv=harness.parse_arguments())
