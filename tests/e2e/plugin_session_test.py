"""Plugin connections to the real host's bridge over loopback, with a raw WebSocket client."""
import json
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import time
import unittest

BUILD = os.environ["QV_BUILD_DIR"]
SIGNER = os.path.join(BUILD, "tools", "qvn_sign", "qvn_sign")


def wait_for(predicate, timeout=20.0):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(0.05)
    return False


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


class PluginSessionE2E(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="qv-e2e-plugin-")
        exe_dir = os.path.join(cls.root, "bin")
        os.makedirs(exe_dir)
        exe = os.path.join(exe_dir, "quorvane")
        shutil.copy2(os.path.join(BUILD, "quorvane"), exe)
        env = dict(os.environ, HOME=os.path.join(cls.root, "home"),
                   XDG_DATA_HOME=os.path.join(cls.root, "data"), TMPDIR=cls.root)
        env.pop("DISPLAY", None)
        env.pop("WAYLAND_DISPLAY", None)
        cls.log = os.path.join(exe_dir, "Quorvane.log")
        cls.proc = subprocess.Popen([exe], env=env, cwd=cls.root,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        found = {}

        def port_logged():
            m = re.search(rb"\[main\] WsServer listening on 127\.0\.0\.1:(\d+)\n", cls.read_log())
            if m:
                found["port"] = int(m.group(1))
            return bool(m) and b"Running without Windows Package Identity" in cls.read_log()

        if not wait_for(port_logged):
            cls.tearDownClass()
            raise AssertionError(cls.read_log())
        cls.port = found["port"]

    @classmethod
    def tearDownClass(cls):
        if cls.proc.poll() is None:
            cls.proc.send_signal(signal.SIGTERM)
            try:
                cls.proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                cls.proc.kill()
                cls.proc.wait()
        shutil.rmtree(cls.root, ignore_errors=True)

    @classmethod
    def read_log(cls):
        try:
            with open(cls.log, "rb") as f:
                return f.read()
        except FileNotFoundError:
            return b""

    def mint(self, claims):
        out = subprocess.run([SIGNER, "cap", json.dumps(claims)], capture_output=True, text=True, check=True)
        return out.stdout.strip()

    def connect(self):
        client = PluginClient(self.port)
        self.addCleanup(client.close)
        return client

    def test_silent_plugin_is_closed_after_a_second(self):
        client = self.connect()
        start = time.monotonic()
        self.assertEqual(client.close_frame(), (4401, "E_TOKEN_SIGNATURE"))
        self.assertGreater(time.monotonic() - start, 0.5)

    def test_refused_first_messages(self):
        token = self.mint({"sub": "user:u1/plugin:p1", "pkg": "a" * 64, "cap": "realtime",
                           "aud": "qvn-install:none", "scope": ["rt.publish:p1"]})
        cases = [
            ("not json", "{oops", "E_TOKEN_SIGNATURE"),
            ("an array", "[1,2,3]", "E_TOKEN_SIGNATURE"),
            ("type of the wrong type", '{"type":["hello"]}', "E_TOKEN_SIGNATURE"),
            ("message before hello", '{"type":"rt.publish","payload":{"seq":1}}', "E_TOKEN_SIGNATURE"),
            ("role viewer", json.dumps({"type": "hello", "payload": {"role": "viewer", "token": token}}),
             "E_ROLE_DENIED"),
            ("token of the wrong type", json.dumps({"type": "hello", "payload": {"role": "source", "token": 5}}),
             "E_TOKEN_SIGNATURE"),
            ("forged token", json.dumps({"type": "hello", "payload": {"role": "source", "token": token[:-4] + "AAAA"}}),
             "E_TOKEN_SIGNATURE"),
            # This host has armed no package for the plugin.
            ("dev-key token of no armed plugin", json.dumps({"type": "hello", "payload": {"role": "source",
                                                                                          "token": token}}),
             "E_TOKEN_AUDIENCE"),
        ]
        for name, text, code in cases:
            with self.subTest(name):
                client = self.connect()
                client.send_text(text)
                self.assertEqual(client.close_frame(), (4401, code))
        self.assertIn(b"[ws] plugin hello rejected: E_TOKEN_AUDIENCE\n", self.read_log())
        # The host keeps serving after every refusal.
        client = self.connect()
        client.send_text("[]")
        self.assertEqual(client.close_frame(), (4401, "E_TOKEN_SIGNATURE"))


if __name__ == "__main__":
    unittest.main(verbosity=2)
