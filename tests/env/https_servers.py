"""Local HTTPS servers that stand in for the app host, the public address
service and the vendor domains. Each connection is served on a thread of its
own; every request is recorded with its request line and headers."""

import ssl
import threading

import listeners

_REASONS = {200: "OK", 204: "No Content", 301: "Moved Permanently", 403: "Forbidden",
            404: "Not Found", 429: "Too Many Requests", 503: "Service Unavailable"}


def server_context(certificate, key):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(certificate, key)
    return context


def response_head(status, content_length):
    reason = _REASONS.get(status, "Status")
    return ("HTTP/1.1 %d %s\r\nContent-Type: text/plain\r\nContent-Length: %d\r\n"
            "Connection: close\r\n\r\n" % (status, reason, content_length)).encode("latin-1")


class Request:
    """One request as it arrived: route, request line and headers (lower-case names)."""

    def __init__(self, route, head):
        lines = head.decode("latin-1").split("\r\n")
        self.route = route
        self.request_line = lines[0]
        parts = self.request_line.split(" ")
        self.method = parts[0]
        # Through a tunnel Wine's WinHTTP may send the full URL instead of "/".
        self.target = parts[1] if len(parts) > 1 else ""
        self.headers = {}
        for line in lines[1:]:
            name, _, value = line.partition(":")
            if name:
                self.headers[name.strip().lower()] = value.strip()

    def __repr__(self):
        return "Request(%s, %r)" % (self.route, self.request_line)


class TlsServer:
    """Accepts TLS connections on one or more (address, port, route) listeners
    and hands each request to handle(request, connection)."""

    def __init__(self):
        self.requests = []
        self._lock = threading.Lock()
        self._listeners = []
        self._stopped = threading.Event()

    def listen(self, address, port, route):
        """Adds a listener; port 0 picks a free one. Returns the port."""
        listener = listeners.listen(address, port)
        self._listeners.append(listener)
        listeners.serve(listener, self._serve, route)
        return listener.getsockname()[1]

    def stop(self):
        self._stopped.set()
        for listener in self._listeners:
            listeners.close(listener)

    def requests_for(self, route=None):
        with self._lock:
            return [r for r in self.requests if route is None or r.route == route]

    def context_for(self, route):
        raise NotImplementedError

    def handle(self, request, connection):
        raise NotImplementedError

    def _serve(self, raw, route):
        connection = None
        try:
            raw.settimeout(30)
            connection = self.context_for(route).wrap_socket(raw, server_side=True)
            head = b""
            while b"\r\n\r\n" not in head and len(head) < 65536:
                chunk = connection.recv(4096)
                if not chunk:
                    return
                head += chunk
            request = Request(route, head.split(b"\r\n\r\n")[0])
            with self._lock:
                self.requests.append(request)
            self.handle(request, connection)
        except (OSError, ssl.SSLError, ValueError):
            pass  # a refused certificate or a client gone is an expected outcome
        finally:
            (connection or raw).close()


class AppServer(TlsServer):
    """The app host. Answers every request with head_status and no body, or
    per mode: "answer", "hang" (keeps the connection until the server stops)
    or "close" (closes after reading the request). certificate picks the
    server certificate: "trusted", "untrusted" (from a CA nobody trusts) or
    "wrong-name" (trusted, but for another host name)."""

    def __init__(self, contexts):
        super().__init__()
        self._contexts = contexts
        self.head_status = 200
        self.mode = "answer"
        self.certificate = "trusted"

    def context_for(self, route):
        return self._contexts[self.certificate]

    def handle(self, request, connection):
        if self.mode == "hang":
            self._stopped.wait()
        elif self.mode == "answer":
            connection.sendall(response_head(self.head_status, 0))


class AddressServer(TlsServer):
    """The public address service. Answers GET with the status and body set
    for the route the request came in on: "direct" or "proxied"."""

    def __init__(self, context):
        super().__init__()
        self._context = context
        self.answers = {"direct": (200, b"198.51.100.7\n"), "proxied": (200, b"203.0.113.7\n")}

    def context_for(self, route):
        return self._context

    def handle(self, request, connection):
        status, body = self.answers[request.route]
        connection.sendall(response_head(status, len(body)) + body)


class VendorServer(TlsServer):
    """The vendor domains: 200 with a short body for GET, none for HEAD."""

    def __init__(self, context):
        super().__init__()
        self._context = context

    def context_for(self, route):
        return self._context

    def handle(self, request, connection):
        body = b"" if request.method == "HEAD" else b"ok\n"
        connection.sendall(response_head(200, 3) + body)
