"""The end-to-end harness's basics: the build tree under test (from the
command line), paths of the launcher and the test helpers, and waiting with
a time-out. Imported first by harness.py: it imports tests/env's test_env,
which must come before any thread (it enters a mount namespace)."""

import argparse
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "env"))

import test_env  # noqa: E402  (first, before any thread: it enters a mount namespace)
import transcripts  # noqa: E402

windows_path = test_env.windows_path  # "Z:\\..." of a Linux path
ERROR_CAPTION = transcripts.ERROR_CAPTION

LAUNCHER_NAME = "LumaretDesktopProxyLauncher.exe"

_build_dir = None


class HarnessError(AssertionError):
    """A wait ran out or a helper failed: the test fails with this message."""


# The helpers' calls that read, or write what is already written, so that
# running one twice changes nothing: {helper: verbs}. Never the launcher, nor a
# helper call that raises an event, starts a program or holds something.
REPEATABLE_CALLS = {
    "regdump.exe": ("get", "get-stored", "list", "key", "proxy-view", "set", "set-stored",
                    "delete", "delete-key", "deny-write", "allow-write"),
    "box_tool.exe": ("read", "screen", "foreground"),
}


def repeatable(program, arguments):
    """Whether this helper call may be run again (REPEATABLE_CALLS)."""
    verbs = REPEATABLE_CALLS.get(os.path.basename(program), ())
    return bool(arguments) and arguments[0] in verbs


def repeat_when_ended_silently(run, description, attempts=3):
    """Calls run() (returning exit code, stdout, stderr and the result to give
    back) again while it ends with exit 1 and no output at all, at most
    attempts times, logging each repeat to stderr; returns the last result.

    Under Wine 8 on a loaded machine a program started with plain wine now and
    then ends so (tests/e2e/README.md), before its own code has run: the
    helpers never exit 1 without saying why, so such an ending is Wine's, and
    a repeatable call (repeatable()) can simply be made again."""
    for attempt in range(1, attempts + 1):
        exit_code, stdout, stderr, result = run()
        if exit_code != 1 or stdout or stderr or attempt == attempts:
            return result
        sys.stderr.write("harness: %s ended with exit 1 and no output (attempt %d of %d); "
                         "running it again\n" % (description, attempt, attempts))
        sys.stderr.flush()



def parse_arguments(argv=None):
    """Takes --build-dir DIR (or $E2E_BUILD_DIR) out of argv for the tests and
    returns the remaining arguments for unittest (argv[0] first)."""
    global _build_dir
    argv = list(sys.argv if argv is None else argv)
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--build-dir", default=os.environ.get("E2E_BUILD_DIR"))
    known, rest = parser.parse_known_args(argv[1:])
    if not known.build_dir:
        sys.exit("usage: %s --build-dir DIR [unittest arguments] (or set E2E_BUILD_DIR)" % argv[0])
    _build_dir = os.path.abspath(known.build_dir)
    return argv[:1] + rest


def build_dir():
    """The build tree under test (set by parse_arguments)."""
    if _build_dir is None:
        raise HarnessError("harness.parse_arguments() was not called")
    return _build_dir


def launcher(build="product"):
    """Path of the launcher: "product" (real host names) or "testhosts"
    (host names served by the tests, stand-ins beside it)."""
    directory = build_dir() if build == "product" else os.path.join(build_dir(), build)
    return os.path.join(directory, LAUNCHER_NAME)


def tool(name):
    """Path of a test helper program in <build dir>/tools."""
    return os.path.join(build_dir(), "tools", name)


def wait_until(condition, timeout, step=0.05, message=None):
    """Polls condition() until it returns a true value, which is returned.
    Raises HarnessError(message) after timeout seconds when message is given,
    else returns the last (false) value."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value or time.monotonic() >= deadline:
            break
        time.sleep(step)
    if not value and message:
        raise HarnessError("%s (after %.1f s)" % (message, timeout))
    return value
