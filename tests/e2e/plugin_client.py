"""A plugin's side of the bridge socket, for the loopback tests."""
import json
import os
import socket
import struct


class PluginClient:
    """A plugin's side of the socket: no Origin, plain path, masked frames."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=10)
        self.sock.sendall((
            "GET / HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n" % port).encode())
        self.buffer = b""
        while b"\r\n\r\n" not in self.buffer:
            chunk = self.sock.recv(4096)
            if not chunk:
                raise ConnectionError("handshake: connection closed")
            self.buffer += chunk
        head, self.buffer = self.buffer.split(b"\r\n\r\n", 1)
        if not head.startswith(b"HTTP/1.1 101"):
            raise ConnectionError(head.decode(errors="replace"))

    def send_text(self, text):
        data = text.encode()
        mask = os.urandom(4)
        if len(data) < 126:
            header = struct.pack("!BB", 0x81, 0x80 | len(data))
        else:
            header = struct.pack("!BBH", 0x81, 0x80 | 126, len(data))
        self.sock.sendall(header + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(data)))

    def send_json(self, value):
        self.send_text(json.dumps(value))

    def _read(self, n):
        while len(self.buffer) < n:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise ConnectionError("connection closed")
            self.buffer += chunk
        out, self.buffer = self.buffer[:n], self.buffer[n:]
        return out

    def frame(self):
        """(opcode, payload) of the next frame from the host."""
        b0, b1 = self._read(2)
        length = b1 & 0x7F
        if length == 126:
            (length,) = struct.unpack("!H", self._read(2))
        elif length == 127:
            (length,) = struct.unpack("!Q", self._read(8))
        return b0 & 0x0F, self._read(length)

    def close_frame(self):
        """(status, reason) of the close frame that must come next, then the end of the stream."""
        opcode, payload = self.frame()
        if opcode != 8:
            raise AssertionError("expected a close frame, got opcode %d: %r" % (opcode, payload))
        self.sock.settimeout(5)
        tail = self.sock.recv(16)
        if tail:
            raise AssertionError("data after the close frame: %r" % tail)
        return struct.unpack("!H", payload[:2])[0], payload[2:].decode()

    def close(self):
        self.sock.close()

    def text(self):
        """The next frame, which must be a text."""
        opcode, payload = self.frame()
        if opcode != 1:
            raise AssertionError("expected a text frame, got opcode %d: %r" % (opcode, payload))
        return payload.decode()

    def ended(self):
        """True when the host ends the stream (no more frames) within the socket's time-out."""
        try:
            return self.sock.recv(16) == b""
        except ConnectionResetError:
            return True
