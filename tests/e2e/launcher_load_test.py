"""Load on the local proxy of the real launcher under Wine (test-hosts build):
a whole run to the monitor through microsocks, then, from Linux
(tests/load/load_driver.py), a thousand concurrent checked tunnels, silent
clients beside working tunnels, and ten thousand sequential tunnels after
which the launcher's handles, descriptors and memory must be back where they
were. The figures are printed (tests/load/README.md keeps a record).

    launcher_load_test.py --build-dir DIR [unittest arguments]

E2E_LOAD_SCALE (default 1) multiplies the counts, for a quick look.
"""

import os
import resource
import subprocess
import sys
import time
import unittest

import harness
import peers
import transcripts

sys.path.insert(0, os.path.join(harness.SOURCE_DIR, "tests", "load"))
import load_driver  # noqa: E402

# A thousand tunnels take two thousand descriptors here, in microsocks and in
# the wineserver, which inherit this limit: a normal user's soft limit of 1024
# ends them half way. The hard limit is the user's to have.
_soft, _hard = resource.getrlimit(resource.RLIMIT_NOFILE)
if _hard != resource.RLIM_INFINITY and _soft < _hard:
    resource.setrlimit(resource.RLIMIT_NOFILE, (_hard, _hard))

SCALE = float(os.environ.get("E2E_LOAD_SCALE", "1"))
TUNNELS = max(1, int(1000 * SCALE))
SECONDS = 3.0
SILENT = max(1, int(500 * SCALE))
BESIDE_SILENT = max(1, int(100 * SCALE))
WARM_UP = 200
SEQUENTIAL = max(1, int(10000 * SCALE))
CLIENTS = int(os.environ.get("E2E_LOAD_CLIENTS", "4"))  # clients taking turns in the sequential part
PROMPT_LIMIT = 20.0        # seconds for all tunnels beside the silent clients
SETTLE = 2.0               # seconds the launcher gets after its threads are back
HANDLE_SLACK = 5
MEMORY_GROWTH_LIMIT = 4096  # KiB of private bytes or resident memory after the run
IMAGE = harness.LAUNCHER_NAME


def linux_figures(pid):
    """Threads, descriptors and resident KiB of a Linux process."""
    figures = {"fds": len(os.listdir("/proc/%d/fd" % pid))}
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("Threads:"):
                figures["threads"] = int(line.split()[1])
            elif line.startswith("VmRSS:"):
                figures["rss_kib"] = int(line.split()[1])
    return figures


def cpu_seconds(pid):
    """User and system CPU seconds of a Linux process so far."""
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class LauncherLoad(harness.LauncherTestCase):
    def setUp(self):
        super().setUp()
        self.direct = self.serve_addresses()
        load_driver.raise_descriptor_limit()

    def start_echo_target(self):
        target = peers.start_child([sys.executable, load_driver.__file__, "--serve-echo"],
                                   stdout=subprocess.PIPE)
        self.addCleanup(target.stdout.close)
        self.addCleanup(peers.stop_child, target)
        return int(target.stdout.readline())

    def run_to_monitor(self, socks_port):
        run = self.desktop.start_console(
            harness.launcher("testhosts"),
            ["--socks-port", str(socks_port), "--http-port", str(self.http_port)],
            environment=self.environment)
        box = self.desktop.wait_box(transcripts.CONFIRMED_CAPTION, timeout=90, run=run)
        box.dismiss()
        run.wait_output(transcripts.console(transcripts.MONITOR_LINES), timeout=30)
        return run

    def launcher_pids(self):
        """(Linux pid, Windows pid) of the launcher, not its watchdog."""
        linux = [pid for pid, command in self.desktop.test_processes()
                 if IMAGE in command and "--restore-watchdog" not in command
                 and "console_run" not in command]
        self.assertEqual(len(linux), 1, self.desktop.test_processes())
        rows = self.windows_rows()
        pids = {row["pid"] for row in rows}
        launcher = [row["pid"] for row in rows if row["parent"] not in pids]
        self.assertEqual(len(launcher), 1, rows)
        return linux[0], launcher[0]

    def windows_rows(self):
        result = self.desktop.run_tool("process_stats.exe", [IMAGE])
        rows = []
        for line in result.stdout.decode().splitlines():
            words = line.split()
            rows.append({words[i]: int(words[i + 1]) for i in range(0, len(words) - 1, 2)})
        return rows

    def measure(self):
        figures = linux_figures(self.linux_pid)
        row = [r for r in self.windows_rows() if r["pid"] == self.windows_pid][0]
        figures.update({"handles": row["handles"], "private_kib": row["private"],
                        "working_set_kib": row["working_set"]})
        return figures

    def settled(self):
        harness.wait_until(lambda: linux_figures(self.linux_pid)["threads"] <= self.idle_threads,
                           60, step=0.2, message="the launcher kept tunnel threads")
        time.sleep(SETTLE)
        return self.measure()

    def test_load_on_the_local_proxy(self):
        socks = self.start_microsocks()
        target_port = self.start_echo_target()
        run = self.run_to_monitor(socks.port)
        self.linux_pid, self.windows_pid = self.launcher_pids()
        fresh = self.measure()
        self.idle_threads = fresh["threads"]
        print("\nload: %s, launcher at the monitor: %s" % (time.strftime("%Y-%m-%d %H:%M"), fresh))

        # Where the CPU goes while the tunnels run: the launcher or the wineserver.
        server = self.desktop.wineserver_pid()
        cpu = (cpu_seconds(self.linux_pid), cpu_seconds(server))
        concurrent = load_driver.concurrent(self.http_port, target_port, TUNNELS, SECONDS,
                                            on_all_open=self.measure)
        concurrent["cpu_launcher_s"] = cpu_seconds(self.linux_pid) - cpu[0]
        concurrent["cpu_wineserver_s"] = cpu_seconds(server) - cpu[1]
        print("concurrent: %s" % concurrent)
        self.assertEqual((concurrent["opened"], concurrent["failed"]), (TUNNELS, 0),
                         concurrent["failures"])
        self.assertGreaterEqual(concurrent["fewest_rounds"], 1)
        self.assertGreaterEqual(concurrent["peak"]["threads"], TUNNELS)
        after_concurrent = self.settled()
        print("after the concurrent tunnels: %s" % after_concurrent)

        # Wine's own threads of the launcher come and go: count from now.
        base_threads = after_concurrent["threads"]

        def held():
            harness.wait_until(
                lambda: linux_figures(self.linux_pid)["threads"] >= base_threads + SILENT - HANDLE_SLACK,
                60, step=0.2)
            time.sleep(1)  # the last few accepts
            return linux_figures(self.linux_pid)

        silent = load_driver.silent_then_tunnels(self.http_port, target_port, SILENT, BESIDE_SILENT,
                                                 wait_held=held)
        print("silent: %s" % silent)
        self.assertEqual((silent["held"], silent["succeeded"], silent["failed"]),
                         (SILENT, BESIDE_SILENT, 0), silent["failures"])
        self.assertLessEqual(silent["seconds"], PROMPT_LIMIT)
        # Each silent client held a tunnel thread (give or take Wine's own).
        self.assertGreaterEqual(silent["holding"]["threads"], base_threads + SILENT - HANDLE_SLACK,
                                "threads before the silent clients: %d" % base_threads)

        warm = load_driver.sequential(self.http_port, target_port, WARM_UP)
        self.assertEqual(warm["failed"], 0, warm["failures"])
        before = self.settled()
        sequential = load_driver.sequential(self.http_port, target_port, SEQUENTIAL, CLIENTS)
        after = self.settled()
        growth = {key: after[key] - before[key] for key in before}
        print("sequential: %s\nbefore: %s\nafter: %s\ngrowth: %s" % (sequential, before, after, growth))
        self.assertEqual(sequential["failed"], 0, sequential["failures"])
        # Wine's own handles and threads of the launcher come and go by a few;
        # a leak per tunnel would show thousands.
        self.assertLessEqual(growth["handles"], HANDLE_SLACK)
        self.assertLessEqual(growth["fds"], HANDLE_SLACK)
        self.assertLessEqual(after["threads"], self.idle_threads)
        self.assertLessEqual(growth["private_kib"], MEMORY_GROWTH_LIMIT)
        self.assertLessEqual(growth["rss_kib"], MEMORY_GROWTH_LIMIT)

        # The launcher still ends normally.
        run.focus()
        run.press_enter()
        self.assertEqual(run.wait(timeout=60).exit_code, 0)


if __name__ == "__main__":
    unittest.main(argv=harness.parse_arguments())
