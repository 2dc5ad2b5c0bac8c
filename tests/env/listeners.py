"""The TCP listeners of the test servers (tests/env and tests/e2e/peers):
bound to loopback, each connection served on a thread of its own."""

import socket
import threading


def listen(address="127.0.0.1", port=0, backlog=64):
    """A listening socket (port 0 picks a free one)."""
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind((address, port))
    listener.listen(backlog)
    return listener


def serve(listener, handler, *arguments):
    """Accepts on a thread until the listener is closed and runs
    handler(connection, *arguments) on a thread for each connection."""
    def accept_loop():
        while True:
            try:
                connection, _ = listener.accept()
            except OSError:
                return
            threading.Thread(target=handler, args=(connection,) + arguments, daemon=True).start()
    threading.Thread(target=accept_loop, daemon=True).start()


def close(listener):
    """Stops accepting: new connections are refused from now on."""
    try:
        listener.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass
    listener.close()
