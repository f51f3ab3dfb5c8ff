"""Loopback HTTP servers that misbehave on purpose, for the time-out tests.

Modes (every request gets the same treatment):

- ``stall``: accepts the connection, reads the request, never answers;
- ``header-drip``: sends the status line, then one header byte per `pace`;
- ``body-drip``: sends complete headers (a large Content-Length), then one
  body byte per `pace`;
- ``giant``: sends a body of `size` bytes as fast as it can.

    with SlowServer("stall") as server:
        url = server.url + "/pricing_table.md"

``hits`` counts the requests received.
"""

import socket
import threading

__all__ = ["SlowServer"]


class SlowServer:
    def __init__(self, mode, pace=0.2, size=0, content_type="application/json"):
        assert mode in ("stall", "header-drip", "body-drip", "giant"), mode
        self.mode, self.pace, self.size, self.content_type = mode, pace, size, content_type
        self.hits = 0
        self._stop = threading.Event()
        self._conns = []
        self._sock = socket.socket()
        self._sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._sock.bind(("127.0.0.1", 0))
        self.port = self._sock.getsockname()[1]

    @property
    def url(self):
        return "http://127.0.0.1:%d" % self.port

    @property
    def host(self):
        return "127.0.0.1:%d" % self.port

    def __enter__(self):
        self._sock.listen(16)
        self._sock.settimeout(0.05)
        threading.Thread(target=self._accept, daemon=True).start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._sock.close()
        for conn in self._conns:
            try:
                conn.close()
            except OSError:
                pass

    def _accept(self):
        while not self._stop.is_set():
            try:
                conn, _ = self._sock.accept()
            except (socket.timeout, OSError):
                continue
            self._conns.append(conn)
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    def _serve(self, conn):
        try:
            conn.settimeout(1)
            request = b""
            while b"\r\n\r\n" not in request and not self._stop.is_set():
                try:
                    chunk = conn.recv(65536)
                except socket.timeout:
                    continue
                if not chunk:
                    return
                request += chunk
            self.hits += 1
            getattr(self, "_" + self.mode.replace("-", "_"))(conn)
        except OSError:
            pass

    def _drip(self, conn, data):
        for byte in data:
            if self._stop.wait(self.pace):
                return
            conn.sendall(bytes([byte]))

    def _stall(self, conn):
        self._stop.wait()

    def _header_drip(self, conn):
        conn.sendall(b"HTTP/1.1 200 OK\r\n")
        self._drip(conn, b"X-Slow: " + b"z" * 100000)

    def _body_drip(self, conn):
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: %s\r\nContent-Length: 100000\r\n\r\n"
                     % self.content_type.encode())
        self._drip(conn, b" " * 100000)

    def _giant(self, conn):
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: %d\r\n\r\n" % self.size)
        block = b"gpt-x: prompt $1\n" * 4096
        sent = 0
        while sent < self.size and not self._stop.is_set():
            piece = block[:self.size - sent]
            conn.sendall(piece)
            sent += len(piece)
