"""Shows one whole launch as a user sees it, offline: the test-hosts launcher
in a Wine console on a virtual display, writing to that console, against
microsocks, with the app's service, the address service and the app itself
played by the local stand-ins of the end-to-end tests. Prints the console as
it grows, read from the console's screen, and every message box (saved as a
screenshot, the console behind it), fetches a page through the launcher's
proxy with curl, presses ENTER and prints the exit code. Shows the user's proxy settings
before the launch, while the launcher serves, and after it ended.
scripts/demo runs it.

    demo_run.py --build-dir DIR [--shots DIR]
"""

import argparse
import os
import re
import sys
import time

import harness
import certs
import peers
import test_env
import transcripts
from harness import INTERNET_SETTINGS, SETTING_NAMES

# Every box the launcher can show, by caption.
BOX_CAPTIONS = (transcripts.ERROR_CAPTION, transcripts.CONFIRMED_CAPTION,
                transcripts.NOT_CONFIRMED_CAPTION, transcripts.DISCONNECT_CAPTION)
# The monitor's last line, as the console shows it.
MONITOR_END = transcripts.MONITOR_LINES.splitlines()[-1]
REGISTRY_TYPES = {1: "REG_SZ", 2: "REG_EXPAND_SZ", 3: "REG_BINARY", 4: "REG_DWORD"}
PAGE = (b"<!doctype html>\n<title>Through the launcher</title>\n"
        b"<p>This page came through the local HTTP proxy, the SOCKS5 server and back.</p>\n")


class Demo:
    def __init__(self, desktop, shots_dir):
        self.desktop = desktop
        self.shots_dir = shots_dir
        self.printed = 0
        self.boxes = 0
        self.last_screen = ""

    def say(self, text):
        print("== " + text, flush=True)

    def show_settings(self, moment):
        """Prints the current user's three proxy values as the registry holds them."""
        result = self.desktop.run_tool("regdump.exe", ["get", INTERNET_SETTINGS] + list(SETTING_NAMES))
        print("\n   +-- the user's proxy settings %s" % moment)
        values = harness.parse_registry_values(result.stdout.decode(errors="replace"))
        for name, value in values.items():
            if value is None:
                print("   | %-13s (none)" % name)
                continue
            kind, raw = value
            if kind == 4 and len(raw) == 4:
                shown = str(int.from_bytes(raw, "little"))
            else:
                shown = raw.rstrip(b"\0").decode(errors="replace")
            print("   | %-13s %s %s" % (name, REGISTRY_TYPES.get(kind, "type %d" % kind), shown))
        print("   +--\n", flush=True)

    def show_new_screen(self, screen, final=False):
        """Prints the console's rows not printed yet; the cursor's row only
        at the end, since the launcher completes a progress line in place."""
        rows = screen.split("\n")[:-1]
        if not final:
            rows = rows[:-1]
        for row in rows[self.printed:]:
            print(row)
        sys.stdout.flush()
        self.printed = max(self.printed, len(rows))

    def handle_boxes(self):
        """Reads, photographs and closes any box on the screen."""
        for caption in BOX_CAPTIONS:
            if not self.desktop.find_window(caption):
                continue
            box = self.desktop.wait_box(caption, timeout=10)
            self.boxes += 1
            name = "%02d-%s.png" % (self.boxes, re.sub(r"[^a-z0-9]+", "-", caption.lower()).strip("-"))
            path = os.path.join(self.shots_dir, name)
            box.screenshot(path)
            print("\n   +-- message box: %s (%s icon)" % (caption, box.icon))
            for line in box.text.split("\n"):
                print("   | " + line)
            print("   +-- screenshot: %s; pressing OK" % os.path.relpath(path))
            box.dismiss()

    def follow(self, run, until, timeout):
        """Prints the console and handles boxes until until(screen) holds or
        the run ends. Returns True when until held."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            screen = run.screen() or self.last_screen
            self.last_screen = screen
            self.show_new_screen(screen)
            if until(screen):
                return True
            if not run.running():
                self.show_new_screen(self.last_screen, final=True)
                return False
            self.handle_boxes()
            time.sleep(0.2)
        raise harness.HarnessError("the launcher did not get there in %d s" % timeout)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--shots", help="directory for the screenshots (default <source>/build/demo)")
    arguments = parser.parse_args()
    harness.parse_arguments(["demo", "--build-dir", arguments.build_dir])
    shots_dir = os.path.abspath(arguments.shots or os.path.join(harness.SOURCE_DIR, "build", "demo"))
    os.makedirs(shots_dir, exist_ok=True)

    print("== starting a virtual display and the Wine prefix of %s" % harness.build_dir(), flush=True)
    desktop = harness.desktop()
    demo = Demo(desktop, shots_dir)
    with test_env.TestEnvironment(harness.build_dir()) as env, peers.FileServer() as files:
        with peers.Microsocks(hosts=env.hosts_on_port_443()) as socks:
            http_port = peers.free_port()
            demo.say("microsocks listens on 127.0.0.1:%d; the app's service (%s) and the address "
                     "service (%s) are local stand-ins" % (socks.port, certs.APP_HOST, certs.ADDRESS_HOST))
            # A user with a proxy of their own, switched off, and no exceptions;
            # no backup left by an earlier run, which the launcher would restore first.
            desktop.run_tool("regdump.exe", ["delete-key", harness.BACKUP])
            for name, kind, data in (("ProxyEnable", "4", b"\0\0\0\0"),
                                     ("ProxyServer", "1", b"proxy.example.org:3128\0")):
                desktop.run_tool("regdump.exe", ["set", INTERNET_SETTINGS, name, kind, data.hex()])
            desktop.run_tool("regdump.exe", ["delete", INTERNET_SETTINGS, "ProxyOverride"])
            demo.show_settings("before the launch")
            arguments = ["--socks-port", str(socks.port), "--http-port", str(http_port)]
            demo.say("LumaretDesktopProxyLauncher.exe %s (in a Wine console)\n" % " ".join(arguments))
            run = desktop.start_console(harness.launcher("testhosts"), arguments,
                                        environment=env.child_environment(desktop.environment),
                                        on_screen=True)
            reached_monitor = demo.follow(run, lambda screen: MONITOR_END in screen, 120)

            if reached_monitor:
                demo.show_new_screen(demo.last_screen, final=True)
                desktop.screenshot(os.path.join(shots_dir, "console-monitor.png"))
                print()
                demo.show_settings("while the launcher serves")
                url = files.add_file("index.html", PAGE)
                demo.say("curl -p -x http://127.0.0.1:%d %s" % (http_port, url))
                page = peers.curl_through_proxy(http_port, url)
                sys.stdout.write(page.decode(errors="replace"))
                demo.say("%d bytes through the launcher's proxy%s" % (
                    len(page), "" if page == PAGE else " (NOT the page that was served)"))
                demo.say("pressing ENTER in the console")
                run.press_enter()
                demo.follow(run, lambda screen: False if run.running() else True, 60)
            result = run.wait(timeout=60)
            demo.show_new_screen(demo.last_screen, final=True)
            demo.show_settings("after the launcher ended")
    print()
    demo.say("exit code: %s" % result.exit_code)
    demo.say("screenshots in %s" % os.path.relpath(shots_dir))
    return 0 if reached_monitor and result.exit_code == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
