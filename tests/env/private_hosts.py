"""A hosts file of this test process's own, for the direct address query.

The direct query resolves the address service's name with the system resolver
(Wine uses the Linux one) and connects to port 443. Editing the machine's
/etc/hosts would race with other test runs, so the process moves into a mount
namespace of its own (as root) and bind-mounts a private copy over /etc/hosts:
every child (Wine included) sees the private entries, nobody else does, and
the mount disappears with the process.

unshare(CLONE_NEWNS) fails once the process has a second thread, so
enter_private_hosts() must run before any thread starts; test_env calls it at
import time.
"""

import atexit
import ctypes
import os
import subprocess
import tempfile

_CLONE_NEWNS = 0x00020000
_hosts_file = None
_failure = None


def enter_private_hosts():
    """Makes /etc/hosts private to this process and its children. Returns the
    path of the private file, or None (see failure_reason())."""
    global _hosts_file, _failure
    if _hosts_file is not None or _failure is not None:
        return _hosts_file
    try:
        if os.geteuid() != 0:
            raise OSError("not root")
        libc = ctypes.CDLL(None, use_errno=True)
        if libc.unshare(_CLONE_NEWNS) != 0:
            raise OSError(ctypes.get_errno(), "unshare(CLONE_NEWNS) failed")
        subprocess.run(["mount", "--make-rprivate", "/"], check=True, capture_output=True)
        handle, path = tempfile.mkstemp(prefix="lumaret-hosts-")
        with open("/etc/hosts", "rb") as original:
            os.write(handle, original.read())
        os.close(handle)
        os.chmod(path, 0o644)
        subprocess.run(["mount", "--bind", path, "/etc/hosts"], check=True, capture_output=True)
        atexit.register(os.unlink, path)
        _hosts_file = path
    except (OSError, subprocess.CalledProcessError) as error:
        _failure = str(error)
    return _hosts_file


def failure_reason():
    return _failure


def set_host_address(name, address):
    """Maps name to address in the private hosts file (address None removes
    the entry). Returns False when there is no private hosts file."""
    if _hosts_file is None:
        return False
    with open("/etc/hosts") as f:
        lines = [l for l in f.read().splitlines() if l.split()[1:2] != [name]]
    if address is not None:
        lines.append(address + " " + name)
    # Rewritten in place: the bind mount is bound to the file, not to its name.
    with open("/etc/hosts", "w") as f:
        f.write("\n".join(lines) + "\n")
    return True
