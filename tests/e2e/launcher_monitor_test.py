"""Whole runs of the launcher in a Wine console (test-hosts build) through to
the monitor: the route verified, the app stand-in's traffic confirmed, a
download by curl through the local proxy, then the end by ENTER or by the
SOCKS5 server going away.

The test environment (tests/env) serves the test host names; the SOCKS5
server is either microsocks, resolving the test names through a hosts file
of its own, or the environment's own server.

    launcher_monitor_test.py --build-dir DIR [unittest arguments]
"""

import os
import random
import sys
import unittest

import harness

sys.path.insert(0, os.path.join(harness.SOURCE_DIR, "tests", "env"))
import test_env  # noqa: E402  (first thread-free import: it enters a mount namespace)
import certs  # noqa: E402

import peers  # noqa: E402
import transcripts  # noqa: E402

DIRECT_ADDRESS = "198.51.100.7"
EXIT_ADDRESS = "203.0.113.7"


def listen_on_port_443(server, route, attempts=30):
    """Adds a listener for server on port 443 of a random loopback address;
    returns the address."""
    for _ in range(attempts):
        address = "127.%d.%d.%d" % (random.randint(64, 250), random.randint(0, 255),
                                    random.randint(1, 254))
        try:
            server.listen(address, 443, route)
            return address
        except OSError:
            continue
    raise OSError("no loopback address with a free port 443")


class LauncherMonitor(unittest.TestCase):
    def setUp(self):
        self.desktop = harness.desktop()
        self.env = test_env.TestEnvironment(harness.build_dir())
        self.env.__enter__()
        self.addCleanup(self.env.__exit__, None, None, None)
        self.env.set_address("direct", 200, (DIRECT_ADDRESS + "\n").encode())
        self.env.set_address("proxied", 200, (EXIT_ADDRESS + "\n").encode())
        self.direct = DIRECT_ADDRESS if self.env.direct_available else "UNAVAILABLE"
        self.http_port = peers.free_port()
        self.files = peers.FileServer()
        self.addCleanup(self.files.stop)

    def tearDown(self):
        self.desktop.end_test_processes()

    def start_microsocks(self):
        hosts = {certs.APP_HOST: listen_on_port_443(self.env.app, "proxied"),
                 certs.ADDRESS_HOST: listen_on_port_443(self.env.address, "proxied")}
        socks = peers.Microsocks(hosts=hosts)
        self.addCleanup(socks.stop)
        return socks

    def run_to_monitor(self, socks_port):
        """Starts the launcher in a console, checks the confirmed outcome box
        and the transcript through the monitor's lines; returns the run."""
        run = self.desktop.start_console(
            harness.launcher("testhosts"),
            ["--socks-port", str(socks_port), "--http-port", str(self.http_port)],
            environment=self.env.child_environment(self.desktop.environment))
        box = self.desktop.wait_box(transcripts.CONFIRMED_CAPTION, timeout=90, run=run)
        self.assertEqual((box.icon, box.buttons, box.text),
                         ("information", ["OK"], transcripts.confirmed_text(self.direct, EXIT_ADDRESS)))
        box.dismiss()
        expected = transcripts.run_transcript(socks_port, self.http_port, "monitor", https_status=200,
                                              direct=self.direct, exit_address=EXIT_ADDRESS)
        run.wait_output(transcripts.console(transcripts.MONITOR_LINES), timeout=30)
        self.assertEqual(run.output(), expected)
        return run, expected

    def test_enter_ends_a_run_through_microsocks_with_exit_0(self):
        socks = self.start_microsocks()
        run, expected = self.run_to_monitor(socks.port)

        content = os.urandom(1 << 20)
        url = self.files.add_file("random.bin", content)
        self.assertEqual(peers.curl_through_proxy(self.http_port, url), content)

        run.focus()
        run.press_enter()
        result = run.wait(timeout=30)
        self.assertEqual(result.exit_code, 0)
        self.assertEqual(result.stdout, expected)
        self.assertFalse(peers.is_listening(self.http_port), "the local proxy must be closed")

    def test_socks5_server_gone_during_the_monitor_ends_with_exit_12(self):
        run, _ = self.run_to_monitor(self.env.socks_port)
        self.env.socks.stop()
        box = self.desktop.wait_box(transcripts.DISCONNECT_CAPTION, timeout=15, run=run)
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
