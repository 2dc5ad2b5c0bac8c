"""Linux-side peers for the end-to-end tests: free ports, microsocks, silent
TCP servers, a loopback HTTP file server, a held port and curl.

Every server here binds loopback only, picks its port itself (or takes a
free one), can be used as a context manager and is stopped by stop(). Child
processes get a parent-death signal, so they never outlive the test process,
even when it is killed.
"""

import ctypes
import http.server
import os
import random
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "env"))
import listeners  # noqa: E402

_PR_SET_PDEATHSIG = 1


def _die_with_parent():
    """preexec_fn: the child gets SIGKILL when the test process ends."""
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(_PR_SET_PDEATHSIG, signal.SIGKILL)


def start_child(command, **popen_arguments):
    """Popen with the parent-death signal and its own session (so that a kill
    of its process group reaches everything it started)."""
    popen_arguments.setdefault("stdin", subprocess.DEVNULL)
    return subprocess.Popen(command, preexec_fn=_die_with_parent, start_new_session=True,
                            **popen_arguments)


def stop_child(process, grace=2.0):
    """Ends the child and its process group: SIGTERM, then SIGKILL after grace."""
    if process is None or process.poll() is not None:
        return
    for sig, wait in ((signal.SIGTERM, grace), (signal.SIGKILL, 5.0)):
        try:
            os.killpg(process.pid, sig)
        except (ProcessLookupError, PermissionError):
            pass
        try:
            process.wait(timeout=wait)
            return
        except subprocess.TimeoutExpired:
            continue


def free_port():
    """A loopback TCP port that was free a moment ago."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def is_listening(port, host="127.0.0.1"):
    try:
        with socket.create_connection((host, port), timeout=0.5):
            return True
    except OSError:
        return False


def wait_listening(port, host="127.0.0.1", timeout=10.0):
    """Waits until host:port accepts connections. Returns True when it does."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if is_listening(port, host):
            return True
        time.sleep(0.05)
    return False


def bind_random_loopback(port, attempts=30):
    """A listening socket on port at a random 127.x.y.z address (so that
    parallel runs never collide on fixed ports such as 443)."""
    for _ in range(attempts):
        address = "127.%d.%d.%d" % (random.randint(64, 250), random.randint(0, 255),
                                    random.randint(1, 254))
        listener = socket.socket()
        try:
            listener.bind((address, port))
            listener.listen(64)
            return listener
        except OSError:
            listener.close()
    raise OSError("no loopback address with a free port %d" % port)


class _Server:
    """Base: the context-manager protocol around start in __init__ and stop()."""

    def __enter__(self):
        return self

    def __exit__(self, *exception):
        self.stop()
        return False


class SilentServer(_Server):
    """Accepts connections and never sends a byte; each connection is held
    until the peer closes it or the server stops. As a SOCKS5 server it is a
    "black hole"; as a target it is a port that simply accepts.

    SilentServer(port=0, address="127.0.0.1"), or listener=<socket> to serve
    a socket bound elsewhere. Attributes: address, port, accepted (count).
    """

    def __init__(self, port=0, address="127.0.0.1", listener=None):
        self._listener = listener or listeners.listen(address, port)
        self.address, self.port = self._listener.getsockname()[:2]
        self.accepted = 0
        self._connections = []
        self._lock = threading.Lock()
        self._stopped = False
        listeners.serve(self._listener, self._drain)

    def _drain(self, connection):
        with self._lock:
            if self._stopped:
                connection.close()
                return
            self.accepted += 1
            self._connections.append(connection)
        try:
            while connection.recv(4096):
                pass
        except OSError:
            pass
        connection.close()

    def stop(self):
        with self._lock:
            self._stopped = True
            connections, self._connections = self._connections, []
        listeners.close(self._listener)
        for connection in connections:
            try:
                connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            connection.close()


class KeepAliveOrigin(_Server):
    """An HTTP/1.1 origin on 127.0.0.1 that answers each request head (no
    body) on a connection with `body`, Content-Length and keep-alive, and
    keeps the connection. Attribute heads: every request head, in order."""

    def __init__(self, body):
        self.body = body
        self.heads = []
        self._listener = listeners.listen("127.0.0.1", 0)
        self.port = self._listener.getsockname()[1]
        listeners.serve(self._listener, self._serve)

    def _serve(self, connection):
        pending = b""
        try:
            while True:
                while b"\r\n\r\n" not in pending:
                    data = connection.recv(65536)
                    if not data:
                        return
                    pending += data
                head, pending = pending.split(b"\r\n\r\n", 1)
                self.heads.append(head + b"\r\n\r\n")
                connection.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\nConnection: keep-alive\r\n"
                                   b"Keep-Alive: timeout=5\r\n\r\n%s" % (len(self.body), self.body))
        except OSError:
            pass
        finally:
            connection.close()

    def stop(self):
        listeners.close(self._listener)


def exchange(port, data, timeout=30):
    """Sends data to 127.0.0.1:port and returns what comes back until the
    peer closes; raises when it does not close within timeout seconds."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as connection:
        connection.sendall(data)
        answer = b""
        while True:
            chunk = connection.recv(65536)
            if not chunk:
                return answer
            answer += chunk


class HeldPort(_Server):
    """A plain Linux listener on 127.0.0.1:port that never accepts: the port
    is taken for anyone else who wants to bind it."""

    def __init__(self, port=0):
        self._listener = socket.socket()
        # Bindable also while an earlier holder's connections are in TIME_WAIT;
        # a bind of anyone else still fails while this one listens.
        self._listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._listener.bind(("127.0.0.1", port))
        self._listener.listen(1)
        self.port = self._listener.getsockname()[1]

    def stop(self):
        self._listener.close()


class FileServer(_Server):
    """An HTTP/1.0 server on 127.0.0.1 serving the files of one directory
    (a temporary one by default; add files with add_file). Attributes: port,
    directory; url(name) gives a file's URL."""

    def __init__(self, directory=None):
        self._own_directory = directory is None
        self.directory = directory or tempfile.mkdtemp(prefix="e2e-files-")
        root = self.directory

        class Handler(http.server.SimpleHTTPRequestHandler):
            def __init__(self, *arguments, **keywords):
                super().__init__(*arguments, directory=root, **keywords)

            def log_message(self, *arguments):
                pass

        self._server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self._server.daemon_threads = True
        self.port = self._server.server_address[1]
        threading.Thread(target=self._server.serve_forever, daemon=True).start()

    def add_file(self, name, content):
        with open(os.path.join(self.directory, name), "wb") as f:
            f.write(content)
        return self.url(name)

    def url(self, name):
        return "http://127.0.0.1:%d/%s" % (self.port, name)

    def stop(self):
        self._server.shutdown()
        self._server.server_close()
        if self._own_directory:
            shutil.rmtree(self.directory, ignore_errors=True)


class Microsocks(_Server):
    """microsocks on 127.0.0.1 (a free port unless given), no authentication
    unless user and password are given (then every client must log in).

    hosts={"name": "127.a.b.c", ...} gives microsocks a hosts file of its own:
    it runs in a private mount namespace with that file bound over /etc/hosts,
    so test host names resolve for it alone (needs root; unshare and mount).
    Attributes: port, process. stop() ends it; the port then refuses
    connections, as when the user's SOCKS5 server goes away.
    """

    def __init__(self, port=None, hosts=None, user=None, password=None):
        self.port = port or free_port()
        self._hosts_file = None
        command = ["microsocks", "-i", "127.0.0.1", "-p", str(self.port)]
        if user is not None:
            command += ["-u", user, "-P", password]
        if hosts:
            handle, self._hosts_file = tempfile.mkstemp(prefix="e2e-hosts-")
            # The names given replace any entry of theirs already there.
            with open("/etc/hosts") as original:
                lines = [line for line in original.read().splitlines()
                         if not set(line.split("#")[0].split()[1:]) & set(hosts)]
            lines += ["%s %s" % (address, name) for name, address in hosts.items()]
            os.write(handle, ("\n".join(lines) + "\n").encode())
            os.close(handle)
            os.chmod(self._hosts_file, 0o644)
            script = ('mount --make-rprivate / && mount --bind "$0" /etc/hosts && exec "$@"')
            command = ["unshare", "--mount", "--", "sh", "-c", script, self._hosts_file] + command
        # microsocks logs a line per client: a pipe nobody read would fill
        # after about 1300 clients and stop it, so its logs are discarded.
        self.process = start_child(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_listening(self.port, timeout=10):
            self.stop()
            raise RuntimeError("microsocks did not start on port %d" % self.port)

    def stop(self):
        stop_child(self.process)
        if self._hosts_file:
            os.unlink(self._hosts_file)
            self._hosts_file = None


class RecordingSocks5(_Server):
    """A SOCKS5 server that records every byte each client sends, chooses
    method (0x00 or 0xFF), reads the CONNECT request and answers it with
    reply_code (0x01, general failure, by default), then closes. Attributes:
    port, sessions (list of bytes, one per connection, in order)."""

    def __init__(self, method=0x00, reply_code=0x01):
        self._method = method
        self._reply_code = reply_code
        self._listener = listeners.listen(backlog=16)
        self.port = self._listener.getsockname()[1]
        self.sessions = []
        self._lock = threading.Lock()
        listeners.serve(self._listener, self._serve)

    def _serve(self, connection):
        received = bytearray()

        def take(count):
            while len(received) < count:
                chunk = connection.recv(4096)
                if not chunk:
                    raise OSError("client closed")
                received.extend(chunk)

        with connection:
            connection.settimeout(10)
            try:
                take(2)
                request = 2 + received[1]
                take(request)
                connection.sendall(bytes([0x05, self._method]))
                if self._method == 0x00:
                    take(request + 5)
                    take(request + 5 + received[request + 4] + 2)
                    connection.sendall(bytes([0x05, self._reply_code, 0, 1, 0, 0, 0, 0, 0, 0]))
                # Anything more the client sends, until it closes.
                connection.settimeout(2)
                while True:
                    chunk = connection.recv(4096)
                    if not chunk:
                        break
                    received.extend(chunk)
            except OSError:
                pass
            with self._lock:
                self.sessions.append(bytes(received))

    def stop(self):
        listeners.close(self._listener)


def curl_through_proxy(proxy_port, url, timeout=60):
    """Fetches url with curl through the HTTP proxy at 127.0.0.1:proxy_port,
    tunnelled with CONNECT (-p). Returns the body; raises on failure."""
    result = subprocess.run(["curl", "-sS", "--fail", "-p", "-x", "http://127.0.0.1:%d" % proxy_port,
                             "--max-time", str(timeout), "-o", "-", url],
                            capture_output=True, timeout=timeout + 10)
    if result.returncode != 0:
        raise RuntimeError("curl through proxy %d failed (%d): %s"
                           % (proxy_port, result.returncode, result.stderr.decode(errors="replace")))
    return result.stdout
