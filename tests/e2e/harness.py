"""Drives the real Windows launcher under Wine for the end-to-end tests.

One Desktop per test process: an Xvfb display of its own, the build's Wine
prefix (<build dir>/wineprefix, created once and reused) and a persistent
wineserver for it. Programs run either plainly (standard output into a
file, no console) or in a real Wine console (wineconsole), where keys and
Ctrl+C can be typed and the console window closed. Message boxes are found
by caption, read exactly (text, icon, buttons), photographed and closed.

    desktop = harness.desktop()           # started on first use, stopped at exit
    run = desktop.start_console(harness.launcher(), ["--socks-port", "1080"])
    run.wait_output(b"PASSED\\r\\n")
    run.press_enter()
    result = run.wait(timeout=30)         # RunResult(exit_code, stdout, ...)

    box = desktop.wait_box("Morvo Proxy Launcher")
    box.icon, box.text; box.screenshot(path); box.dismiss()

Test classes derive from LauncherTestCase (the desktop, the test environment
of tests/env, the user's proxy settings through Wine, a free local port).
See tests/e2e/README.md for the whole interface. Every wait has a time-out;
processes left behind by a test are ended by Desktop.end_test_processes().

The harness lives in modules beside this one; `import harness` gives all of
their names:
    harness_base.py      the build tree, paths, wait_until, HarnessError
    harness_runs.py      plain and console runs (PlainRun, ConsoleRun, RunResult)
    harness_desktop.py   Xvfb, the prefix, wineserver, boxes, clean-up (Desktop, Box)
    harness_registry.py  the user's proxy settings through regdump (Wine, values)
    harness_case.py      the tests' base class (LauncherTestCase)
"""

# The basics first: they import test_env before any thread is started.
from harness_base import (ERROR_CAPTION, HERE, LAUNCHER_NAME, SOURCE_DIR,  # noqa: F401
                          HarnessError, build_dir, launcher, parse_arguments, test_env, tool,
                          wait_until, windows_path)
from harness_runs import ConsoleRun, PlainRun, RunResult  # noqa: F401
from harness_desktop import Box, Desktop, desktop  # noqa: F401
from harness_registry import (BACKUP, CONNECTIONS, INTERNET_SETTINGS, LAUNCHER_BYPASS,  # noqa: F401
                              PAC_URL, RAS_ENTRIES, REG_BINARY, REG_DWORD, REG_EXPAND_SZ, REG_SZ, RUN_ONCE,
                              RUN_ONCE_VALUE, SETTING_NAMES, USER_CONNECTIONS, USER_VALUES,
                              USER_VIEW, Wine, connection_value, dword, launcher_connections, launcher_values,
                              launcher_view, parse_registry_values, restore_command, stored_text,
                              text)
from harness_case import DIRECT_ADDRESS, EXIT_ADDRESS, LauncherTestCase  # noqa: F401
import peers  # noqa: F401,E402
import transcripts  # noqa: F401,E402
