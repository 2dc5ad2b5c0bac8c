"""A SOCKS5 server for the end-to-end tests (no authentication, CONNECT only).

It sends the test host names to the local test servers (host:443 ->
127.0.0.1:<port>), refuses chosen hosts with a chosen reply code, records
every host asked for, and connects any other target by name or address.
"""

import select
import socket
import struct
import threading

import listeners


class Socks5Server:
    def __init__(self):
        self._listener = listeners.listen()
        self.port = self._listener.getsockname()[1]
        self._lock = threading.Lock()
        self._routes = {}    # host name (lower case) or "*.domain" -> (address, port)
        self._refusals = {}  # host name -> [reply code, CONNECTs still let through]
        self.requests = []   # (host, port) of every CONNECT, in order
        self._stopped = threading.Event()
        listeners.serve(self._listener, self._serve)

    def map_host(self, host, address, port):
        """Sends CONNECTs for host:443 to address:port ("*.domain" maps subdomains)."""
        with self._lock:
            self._routes[host.lower()] = (address, port)

    def refuse(self, host, code=0x05, after=0):
        """Answers CONNECTs for host with the reply code (0x05 connection
        refused, 0x02 not allowed by rule set) once `after` of them went through."""
        with self._lock:
            self._refusals[host.lower()] = [code, after]

    def clear_refusals(self):
        with self._lock:
            self._refusals.clear()

    def hosts_requested(self):
        with self._lock:
            return [host for host, _ in self.requests]

    def stop(self):
        """Stops accepting: new connections are refused from now on, as when
        the user's SOCKS5 server goes away."""
        if not self._stopped.is_set():
            self._stopped.set()
            listeners.close(self._listener)

    def _target_for(self, host, port):
        host = host.lower()
        with self._lock:
            self.requests.append((host, port))
            refusal = self._refusals.get(host)
            if refusal is not None:
                if refusal[1] > 0:
                    refusal[1] -= 1
                else:
                    return None, refusal[0]
            if port == 443:
                route = self._routes.get(host)
                parts = host.split(".")
                for i in range(1, len(parts)):
                    route = route or self._routes.get("*." + ".".join(parts[i:]))
                if route:
                    return route, 0
        return (host, port), 0

    def _serve(self, client):
        upstream = None
        try:
            client.settimeout(30)
            version, method_count = _recv_exact(client, 2)
            methods = _recv_exact(client, method_count)
            if version != 5 or 0 not in methods:
                client.sendall(b"\x05\xff")
                return
            client.sendall(b"\x05\x00")
            version, command, _, address_type = _recv_exact(client, 4)
            if address_type == 1:
                host = socket.inet_ntop(socket.AF_INET, _recv_exact(client, 4))
            elif address_type == 3:
                host = _recv_exact(client, _recv_exact(client, 1)[0]).decode("latin-1")
            elif address_type == 4:
                host = socket.inet_ntop(socket.AF_INET6, _recv_exact(client, 16))
            else:
                client.sendall(b"\x05\x08\x00\x01\x00\x00\x00\x00\x00\x00")
                return
            (port,) = struct.unpack("!H", _recv_exact(client, 2))
            if version != 5 or command != 1:
                client.sendall(b"\x05\x07\x00\x01\x00\x00\x00\x00\x00\x00")
                return
            target, code = self._target_for(host, port)
            if target is None:
                client.sendall(bytes([5, code, 0, 1, 0, 0, 0, 0, 0, 0]))
                return
            try:
                upstream = socket.create_connection(target, timeout=10)
            except OSError:
                client.sendall(b"\x05\x05\x00\x01\x00\x00\x00\x00\x00\x00")
                return
            client.sendall(b"\x05\x00\x00\x01\x00\x00\x00\x00\x00\x00")
            client.settimeout(None)
            upstream.settimeout(None)
            _relay(client, upstream)
        except (OSError, ValueError):
            pass
        finally:
            if upstream is not None:
                upstream.close()
            client.close()


def _recv_exact(sock, length):
    data = b""
    while len(data) < length:
        chunk = sock.recv(length - len(data))
        if not chunk:
            raise ValueError("peer closed")
        data += chunk
    return data


def _relay(first, second):
    peers = {first: second, second: first}
    while True:
        readable, _, _ = select.select(list(peers), [], [])
        for sock in readable:
            data = sock.recv(65536)
            if not data:
                return
            peers[sock].sendall(data)
