"""The end-to-end test environment: serves the test host names of the
test-hosts launcher (app.lumaret.test, ip.echo.test and the vendor domains)
locally, behind a SOCKS5 server of its own.

    from test_env import TestEnvironment
    with TestEnvironment(build_dir) as env:
        run the launcher with --socks-port env.socks_port ...

On entry it creates the test certificates (once per build tree), makes the
build's Wine prefix (<build_dir>/wineprefix) trust the test CA, starts the
HTTPS servers and the SOCKS5 server, and maps ip.echo.test to a loopback
address of its own with a server on port 443 there for the direct query. On
exit everything stops and the mapping goes away.

Knobs, all changeable while the environment runs:
    env.app.head_status = 403           status of the app host's answer
    env.app.mode = "answer" | "hang" | "close"
    env.app.certificate = "trusted" | "untrusted" | "wrong-name"
    env.set_address("direct" | "proxied" | "both", status, body_bytes)
    env.socks.refuse(host, code=0x05, after=0)   refuse CONNECTs to host
    env.socks.stop()                    the SOCKS5 server goes away
Records: env.socks.hosts_requested(), env.app.requests_for(),
env.address.requests_for("direct" | "proxied").

Programs inside Wine can change the knobs through a line protocol on
127.0.0.1:env.control_port (see _ControlServer); env.child_environment()
gives the variables that tell them the ports.

Run as a script it starts the environment around one command:
    test_env.py --build-dir DIR -- command args...
"""

import argparse
import os
import random
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import certs  # noqa: E402
import listeners  # noqa: E402
import private_hosts  # noqa: E402
from https_servers import AddressServer, AppServer, VendorServer, server_context  # noqa: E402
from socks5_server import Socks5Server  # noqa: E402

# Must happen before any thread exists (see private_hosts).
private_hosts.enter_private_hosts()

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
RUN_IN_WINE = os.path.join(SOURCE_DIR, "tests", "wine", "run-in-wine")


def windows_path(path):
    """The Wine path of a Linux path (drive Z: is the Linux root)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def wine_environment(build_dir):
    environment = dict(os.environ)
    environment["WINEPREFIX"] = os.path.join(os.path.abspath(build_dir), "wineprefix")
    environment.setdefault("WINEDEBUG", "-all")
    return environment


def trust_test_ca(build_dir, certificate_dir):
    """Adds the test CA to the machine ROOT store of the build's prefix, once
    per prefix and CA."""
    import fcntl
    import hashlib
    with open(os.path.join(certificate_dir, "ca.der"), "rb") as f:
        fingerprint = hashlib.sha256(f.read()).hexdigest()[:16]
    with open(os.path.join(certificate_dir, ".lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        prefix = os.path.join(os.path.abspath(build_dir), "wineprefix")
        stamp = os.path.join(prefix, "lumaret-test-ca-" + fingerprint)
        if os.path.exists(stamp):
            return
        tool = os.path.join(build_dir, "tools", "add_root_ca.exe")
        result = subprocess.run([RUN_IN_WINE, tool, windows_path(os.path.join(certificate_dir, "ca.der"))],
                                env=wine_environment(build_dir), capture_output=True, text=True,
                                timeout=300)
        if result.returncode != 0:
            raise RuntimeError("add_root_ca failed: %s %s" % (result.stdout, result.stderr))
        open(stamp, "w").close()


def listen_on_port_443(server, route, attempts=30):
    """Adds a listener for server on port 443 of a random 127.x.y.z address,
    so that parallel environments (each in a namespace of its own) do not
    collide. Returns the address."""
    for _ in range(attempts):
        address = "127.%d.%d.%d" % (random.randint(64, 250), random.randint(0, 255),
                                    random.randint(1, 254))
        try:
            server.listen(address, 443, route)
            return address
        except OSError:
            continue
    raise OSError("no loopback address with a free port 443")


class _ControlServer:
    """Lets a program inside Wine change the knobs: one command per line,
    answered with "ok\\n" or "error\\n". Commands:
        address <direct|proxied|both> <status> <body as hex, or - for empty>
        app-status <status>
        app-mode <answer|hang|close>
        app-certificate <trusted|untrusted|wrong-name>
        refuse <host> <code> <after>
        clear-refusals
    """

    def __init__(self, environment):
        self._environment = environment
        self._listener = listeners.listen(backlog=8)
        self.port = self._listener.getsockname()[1]
        listeners.serve(self._listener, self._serve)

    def stop(self):
        listeners.close(self._listener)

    def _serve(self, connection):
        with connection, connection.makefile("rwb") as stream:
            for line in stream:
                try:
                    self._apply(line.decode("ascii").split())
                    stream.write(b"ok\n")
                except (ValueError, KeyError, IndexError):
                    stream.write(b"error\n")
                stream.flush()

    def _apply(self, words):
        env = self._environment
        if words[0] == "address":
            body = b"" if words[3] == "-" else bytes.fromhex(words[3])
            env.set_address(words[1], int(words[2]), body)
        elif words[0] == "app-status":
            env.app.head_status = int(words[1])
        elif words[0] == "app-mode" and words[1] in ("answer", "hang", "close"):
            env.app.mode = words[1]
        elif words[0] == "app-certificate" and words[1] in ("trusted", "untrusted", "wrong-name"):
            env.app.certificate = words[1]
        elif words[0] == "refuse":
            env.socks.refuse(words[1], int(words[2]), int(words[3]))
        elif words[0] == "clear-refusals":
            env.socks.clear_refusals()
        else:
            raise ValueError(words[0])


class TestEnvironment:
    """See the module's description. Attributes after entry: socks_port,
    control_port, app_port, address_port (proxied route), vendor_port,
    direct_address (the loopback address ip.echo.test resolves to, or None
    when the direct route cannot be served here: then direct_available is
    False and the direct query fails), and the servers app, address, vendor
    and socks."""

    def __init__(self, build_dir, trust_ca=True):
        self.build_dir = os.path.abspath(build_dir)
        self._trust_ca = trust_ca
        self._started = []

    def __enter__(self):
        try:
            self._start()
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def _start(self):
        self.certificate_dir = certs.ensure_certificates(self.build_dir)
        if self._trust_ca:
            trust_test_ca(self.build_dir, self.certificate_dir)

        def context(name):
            return server_context(*certs.certificate_paths(self.certificate_dir, name))

        self.app = AppServer({"trusted": context("app"), "untrusted": context("app-untrusted"),
                              "wrong-name": context("app-wrong-name")})
        self._started.append(self.app)
        self.app_port = self.app.listen("127.0.0.1", 0, "proxied")
        self.address = AddressServer(context("address"))
        self._started.append(self.address)
        self.address_port = self.address.listen("127.0.0.1", 0, "proxied")
        self.vendor = VendorServer(context("vendor"))
        self._started.append(self.vendor)
        self.vendor_port = self.vendor.listen("127.0.0.1", 0, "proxied")

        self.direct_address = None
        if private_hosts.enter_private_hosts() is not None:
            self.direct_address = listen_on_port_443(self.address, "direct")
            private_hosts.set_host_address(certs.ADDRESS_HOST, self.direct_address)
        self.direct_available = self.direct_address is not None

        self.socks = Socks5Server()
        self._started.append(self.socks)
        self.socks_port = self.socks.port
        self.socks.map_host(certs.APP_HOST, "127.0.0.1", self.app_port)
        self.socks.map_host(certs.ADDRESS_HOST, "127.0.0.1", self.address_port)
        for domain in certs.VENDOR_DOMAINS:
            self.socks.map_host(domain, "127.0.0.1", self.vendor_port)
            self.socks.map_host("*." + domain, "127.0.0.1", self.vendor_port)

        self._control = _ControlServer(self)
        self._started.append(self._control)
        self.control_port = self._control.port

    def __exit__(self, *exception):
        if getattr(self, "direct_address", None):
            private_hosts.set_host_address(certs.ADDRESS_HOST, None)
        for server in reversed(self._started):
            server.stop()
        self._started = []
        return False

    def set_address(self, route, status, body):
        """Sets the address service's answer for "direct", "proxied" or "both"."""
        routes = ("direct", "proxied") if route == "both" else (route,)
        for r in routes:
            if r not in self.address.answers:
                raise KeyError(r)
            self.address.answers[r] = (status, body)

    def hosts_on_port_443(self):
        """For a SOCKS5 server that resolves the test host names itself
        (microsocks): the app and address servers listen on port 443 of
        loopback addresses of their own as well. Returns {name: address}."""
        return {certs.APP_HOST: listen_on_port_443(self.app, "proxied"),
                certs.ADDRESS_HOST: listen_on_port_443(self.address, "proxied")}

    def child_environment(self, base=None):
        """The environment for a program that uses this test environment: the
        Wine prefix of the build and the LUMARET_TEST_* ports."""
        environment = wine_environment(self.build_dir) if base is None else dict(base)
        environment.update({
            "LUMARET_TEST_SOCKS_PORT": str(self.socks_port),
            "LUMARET_TEST_CONTROL_PORT": str(self.control_port),
            "LUMARET_TEST_DIRECT_AVAILABLE": "1" if self.direct_available else "0",
        })
        return environment


def main():
    parser = argparse.ArgumentParser(description="Runs a command inside the test environment.")
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("command", nargs=argparse.REMAINDER)
    arguments = parser.parse_args()
    command = arguments.command[1:] if arguments.command[:1] == ["--"] else arguments.command
    if not command:
        parser.error("no command")
    with TestEnvironment(arguments.build_dir) as env:
        if not env.direct_available:
            print("test_env: direct route unavailable: %s" % private_hosts.failure_reason(),
                  file=sys.stderr)
        return subprocess.run(command, env=env.child_environment()).returncode


if __name__ == "__main__":
    sys.exit(main())
