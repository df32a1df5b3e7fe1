"""The bridge listener against independent clients: Debian's websockets library and raw sockets."""
import asyncio
import os
import queue
import socket
import struct
import subprocess
import threading
import time
import unittest

import websockets

BUILD = os.environ["QV_BUILD_DIR"]
ECHO = os.path.join(BUILD, "tools", "qvn_ws_echo", "qvn_ws_echo")
TOKEN = "ab" * 32
APP_ORIGIN = "https://app.quorvane.invalid"
LIMIT = 64 * 1024 * 1024


def hello(token=TOKEN):
    return '{"type":"hello","payload":{"token":"%s"}}' % token


def frame(opcode, payload=b"", fin=True, mask=True):
    head = bytes([(0x80 if fin else 0) | opcode])
    n = len(payload)
    bit = 0x80 if mask else 0
    if n <= 125:
        head += bytes([bit | n])
    elif n <= 65535:
        head += bytes([bit | 126]) + struct.pack(">H", n)
    else:
        head += bytes([bit | 127]) + struct.pack(">Q", n)
    if not mask:
        return head + payload
    key = os.urandom(4)
    return head + key + bytes(b ^ key[i % 4] for i, b in enumerate(payload))


class RawClient:
    def __init__(self, port, path="/", origin=None, host=None):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=15)
        self.buf = b""
        lines = ["GET %s HTTP/1.1" % path, "Host: %s" % (host or "127.0.0.1:%d" % port), "Upgrade: websocket",
                 "Connection: Upgrade", "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==", "Sec-WebSocket-Version: 13"]
        if origin:
            lines.append("Origin: " + origin)
        self.sock.sendall(("\r\n".join(lines) + "\r\n\r\n").encode())
        while b"\r\n\r\n" not in self.buf:
            chunk = self.sock.recv(4096)
            if not chunk:
                break
            self.buf += chunk
        head, _, self.buf = self.buf.partition(b"\r\n\r\n")
        self.response = head.decode(errors="replace")

    def upgraded(self):
        return self.response.startswith("HTTP/1.1 101")

    def _need(self, n):
        while len(self.buf) < n:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise EOFError
            self.buf += chunk

    def read(self):
        self._need(2)
        opcode, n = self.buf[0] & 0x0F, self.buf[1] & 0x7F
        at = 2
        if n == 126:
            self._need(4)
            n, at = struct.unpack(">H", self.buf[2:4])[0], 4
        elif n == 127:
            self._need(10)
            n, at = struct.unpack(">Q", self.buf[2:10])[0], 10
        self._need(at + n)
        payload, self.buf = self.buf[at:at + n], self.buf[at + n:]
        return opcode, payload

    def ended(self):
        """True once the server closed the connection (frames still queued are skipped)."""
        try:
            while True:
                self.read()
        except (EOFError, ConnectionResetError):  # a reset when our unread bytes were dropped
            return True
        except socket.timeout:
            return False

    def close(self):
        self.sock.close()


class EchoServer:
    def __init__(self, *args):
        self.proc = subprocess.Popen([ECHO, "--token", TOKEN, *args], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True)
        self.lines = queue.Queue()
        self.seen = []
        threading.Thread(target=self._pump, daemon=True).start()
        self.port = int(self.expect("port ").split()[1])

    def _pump(self):
        for line in self.proc.stdout:
            self.lines.put(line.rstrip("\n"))

    def expect(self, prefix, timeout=20):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            try:
                line = self.lines.get(timeout=max(0.01, end - time.monotonic()))
            except queue.Empty:
                break
            self.seen.append(line)
            if line.startswith(prefix):
                return line
        raise AssertionError("no line %r in %r" % (prefix, self.seen))

    def drain(self, wait=0.3):
        time.sleep(wait)
        while not self.lines.empty():
            self.seen.append(self.lines.get())
        return self.seen

    def command(self, text):
        self.proc.stdin.write(text + "\n")
        self.proc.stdin.flush()

    def close(self):
        if self.proc.poll() is None:
            self.command("quit")
            try:
                self.proc.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc.stdin.close()
        self.proc.stdout.close()


def run(coro):
    return asyncio.run(asyncio.wait_for(coro, 30))


class Listener(unittest.TestCase):
    def setUp(self):
        self.server = EchoServer()
        self.addCleanup(self.server.close)

    def raw(self, **kwargs):
        client = RawClient(self.server.port, **kwargs)
        self.addCleanup(client.close)
        return client

    def connect(self):
        sock = socket.create_connection(("127.0.0.1", self.server.port), timeout=15)
        self.addCleanup(sock.close)
        return sock

    def url(self, path="/"):
        return "ws://127.0.0.1:%d%s" % (self.server.port, path)

    def test_page_with_app_origin_says_hello_then_talks(self):
        async def talk():
            async with websockets.connect(self.url("/?protocol=2"), origin=APP_ORIGIN, max_size=None) as ws:
                await ws.send(hello())
                self.assertEqual(await ws.recv(), "echo:" + hello())
                await ws.send(b"\x00\x01\x02")
                self.assertEqual(await ws.recv(), b"\x00\x01\x02")
                big = "x" * (3 * 1024 * 1024)
                await ws.send(big)
                self.assertEqual(await ws.recv(), "echo:" + big)
                await asyncio.wait_for(await ws.ping(b"are you there"), 10)
        run(talk())
        self.server.expect("connected")
        self.server.expect("closed")

    def test_refused_handshakes(self):
        cases = [
            ({"host": "localhost:%d" % self.server.port}, "host"),
            ({"origin": "https://example.com"}, "origin"),
            ({"origin": APP_ORIGIN, "path": "/?token=" + TOKEN[:-1]}, "token"),
            ({"path": "/?protocol=3"}, "origin"),
        ]
        for args, reason in cases:
            client = self.raw(path=args.get("path", "/"), origin=args.get("origin"), host=args.get("host"))
            self.assertFalse(client.upgraded(), args)
            self.assertEqual(client.response, "", "no HTTP answer at all")
            self.server.expect("[ws] rejected handshake: " + reason)

    def test_oversized_header_block_and_bad_request_line_drop_silently(self):
        sock = self.connect()
        try:
            sock.sendall(b"GET / HTTP/1.1\r\nX-Pad: " + b"a" * 70000)
            self.assertEqual(sock.recv(10), b"")
        except ConnectionResetError:
            pass
        sock = self.connect()
        sock.sendall(b"GET /\r\nHost: 127.0.0.1:%d\r\n\r\n" % self.server.port)
        self.assertEqual(sock.recv(10), b"")
        self.assertFalse([l for l in self.server.drain() if "rejected" in l])

    def test_unmasked_and_fragmented_frames_with_ping_between(self):
        client = self.raw(path="/?token=" + TOKEN, origin=APP_ORIGIN)
        self.assertTrue(client.upgraded())
        self.server.expect("connected")
        client.sock.sendall(frame(1, b"unmasked", mask=False))
        self.assertEqual(client.read(), (1, b"echo:unmasked"))
        client.sock.sendall(frame(1, b"frag", fin=False) + frame(9, b"ping!") +
                            frame(0, b"men", fin=False) + frame(0, b"ted", mask=False))
        self.assertEqual(client.read(), (10, b"ping!"))
        self.assertEqual(client.read(), (1, b"echo:fragmented"))
        # The close handshake: an empty close back, then the server ends the connection.
        client.sock.sendall(frame(8, struct.pack(">H", 1000)))
        self.assertEqual(client.read(), (8, b""))
        self.assertTrue(client.ended())
        self.server.expect("closed")

    def test_close_handshake_with_library_client(self):
        async def close():
            ws = await websockets.connect(self.url(), origin=APP_ORIGIN)
            await ws.send(hello())
            await ws.recv()
            await ws.close()
            return ws.close_code
        self.assertEqual(run(close()), 1005)  # the server's close frame carries no status

    def test_over_limit_announcement_ends_before_the_payload(self):
        refused = (8, struct.pack(">H", 1009) + b"message exceeds %d bytes" % LIMIT)
        client = self.raw(path="/?token=" + TOKEN, origin=APP_ORIGIN)
        self.server.expect("connected")
        client.sock.sendall(bytes([0x82, 0x80 | 127]) + struct.pack(">Q", LIMIT + 1) + b"\0\0\0\0")
        self.assertEqual(client.read(), refused)
        self.assertTrue(client.ended())
        # Fragments adding up to more than the limit are refused as well.
        client = self.raw(path="/?token=" + TOKEN, origin=APP_ORIGIN)
        self.server.expect("connected")
        half = b"z" * (LIMIT // 2)
        try:
            client.sock.sendall(frame(2, half, fin=False, mask=False) + frame(0, half, fin=False, mask=False) +
                                frame(0, b"!", mask=False))
        except OSError:
            pass
        self.assertEqual(client.read(), refused)
        self.assertTrue(client.ended())
        # A refused message is no page going away: the closed handler (which stops the plugins)
        # runs for neither, nor when the next page comes (there is no current one to replace).
        client = self.raw(path="/?token=" + TOKEN, origin=APP_ORIGIN)
        self.server.expect("connected")
        self.assertEqual([line for line in self.server.drain() if line.startswith("closed")], [])

    def test_fourth_plugin_connection_is_closed_after_its_handshake(self):
        async def plugins():
            conns = []
            for i in range(3):
                ws = await websockets.connect(self.url())
                await ws.send("p%d" % i)
                self.assertEqual(await ws.recv(), "echo:p%d" % i)
                conns.append(ws)
            fourth = await websockets.connect(self.url())  # the upgrade itself succeeds
            with self.assertRaises(websockets.ConnectionClosed):
                await fourth.recv()
            for ws in conns:
                await ws.send("still")
                self.assertEqual(await ws.recv(), "echo:still")
                await ws.close()
        run(plugins())

    def test_plugin_refusal_is_a_4401_close(self):
        async def refused():
            async with websockets.connect(self.url()) as ws:
                await ws.send("close:E_ROLE_DENIED")
                with self.assertRaises(websockets.ConnectionClosed) as caught:
                    await ws.recv()
                return caught.exception.code, caught.exception.reason
        self.assertEqual(run(refused()), (4401, "E_ROLE_DENIED"))
        self.server.expect("plugin-ended")

    def test_silent_client_during_handshake_does_not_hold_others(self):
        silent = self.connect()
        silent.sendall(b"GET / HTTP/1.1\r\n")  # and never the rest

        async def plugin():
            async with websockets.connect(self.url(), open_timeout=20) as ws:
                await ws.send("after")
                return await ws.recv()
        self.assertEqual(run(plugin()), "echo:after")
        self.assertEqual(silent.recv(10), b"")

    def test_stop_with_live_connections_then_stop_again(self):
        page = self.raw(path="/?token=" + TOKEN, origin=APP_ORIGIN)
        self.server.expect("connected")
        plugin = self.raw()
        plugin.sock.sendall(frame(1, b"hi"))
        self.assertEqual(plugin.read(), (1, b"echo:hi"))
        pending = self.raw(origin=APP_ORIGIN)  # no hello yet
        self.assertTrue(pending.upgraded())
        self.server.command("stop")
        self.server.expect("stopped")
        for client in (page, plugin, pending):
            self.assertTrue(client.ended())
        self.server.command("stop")
        self.server.expect("stopped")
        seen = self.server.drain()
        self.assertEqual(sum(1 for l in seen if l.startswith("closed")), 1, seen)
        self.assertEqual(sum(1 for l in seen if l == "plugin-ended"), 1, seen)
        with self.assertRaises(OSError):
            self.connect().recv(1)


class NoPluginHandler(unittest.TestCase):
    def test_plugin_connections_close_after_the_handshake(self):
        server = EchoServer("--no-plugins")
        self.addCleanup(server.close)
        client = RawClient(server.port)
        self.addCleanup(client.close)
        self.assertTrue(client.upgraded())
        self.assertTrue(client.ended())


if __name__ == "__main__":
    unittest.main()
