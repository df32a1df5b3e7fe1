"""The remote listener and viewer sessions, driven by an independent viewer (python3-websockets)
over loopback, in front of a fake realtime source."""
import asyncio
import json
import os
import subprocess
import sys
import time
import unittest

import websockets

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from host_harness import command, start_command_server  # noqa: E402

BUILD = os.environ["QV_BUILD_DIR"]
SIGNER = os.path.join(BUILD, "tools", "qvn_sign", "qvn_sign")
SERVER = os.path.join(BUILD, "tests", "remote", "qvn_remote_server")
AUDIENCE = "qvn-install:0123456789abcdef0123456789abcdef/fedcba9876543210fedcba9876543210"
SOURCE = "p1@" + "a" * 64


def sign(kind, value, now=None):
    args = [SIGNER] + (["--now", str(now)] if now else []) + [kind, json.dumps(value)]
    return subprocess.run(args, capture_output=True, text=True, check=True).stdout.strip()


def view_token(sub="user:viewer1", **extra):
    claims = {"sub": sub, "aud": AUDIENCE}
    claims.update(extra)
    return sign("view", claims)


def jti_of(token):
    import base64
    segment = token.split(".")[1]
    return json.loads(base64.urlsafe_b64decode(segment + "=" * (-len(segment) % 4)))["jti"]


def frame(seq, size=0):
    return {"source": SOURCE, "seq": seq, "provenance": "verified", "frame": {"v": seq, "pad": "x" * size}}


def declaration(seq):
    return {"source": SOURCE, "seq": seq, "provenance": "verified", "declare": {"kind": "stream", "channels": []}}


def hello(token, protocol=2, role="viewer"):
    return json.dumps({"type": "hello", "payload": {"protocol": protocol, "role": role, "token": token}})


class RemoteViewer(unittest.TestCase):
    def setUp(self):
        self.server, self.port = start_command_server(self, SERVER, 20)
        self.assertEqual(self.command("revocations " + sign("revocations", {"rev": 1})), "revocations ")
        self.loop = asyncio.new_event_loop()
        self.addCleanup(self.close_loop)

    def close_loop(self):
        # Connections a test left open end with the loop, quietly.
        async def cancel_all():
            pending = [t for t in asyncio.all_tasks() if t is not asyncio.current_task()]
            for task in pending:
                task.cancel()
            await asyncio.gather(*pending, return_exceptions=True)

        self.loop.run_until_complete(cancel_all())
        self.loop.close()

    def command(self, line):
        return command(self.server, line)

    async def viewers_become(self, count, timeout=10):
        """The listener's viewer count once it is count (a closed viewer's session ends just after
        its peer sees the close); the last count seen when the time runs out."""
        deadline = time.monotonic() + timeout
        while True:
            seen = self.command("viewers")
            if seen == "viewers %d" % count or time.monotonic() >= deadline:
                return seen
            await asyncio.sleep(0.05)

    def publish(self, message):
        self.assertEqual(self.command("publish " + json.dumps(message)), "published")

    def run_async(self, coro):
        return self.loop.run_until_complete(asyncio.wait_for(coro, 60))

    async def connect(self, **kwargs):
        return await websockets.connect("ws://127.0.0.1:%d/" % self.port, open_timeout=10, close_timeout=1, **kwargs)

    async def admitted(self, token=None):
        # Minted before connecting: the signer can take longer than the 1 s the listener gives
        # a viewer for its hello.
        text = hello(token or view_token())
        ws = await self.connect()
        await ws.send(text)
        reply = json.loads(await ws.recv())
        self.assertEqual(reply["type"], "hello-ok", reply)
        return ws, reply

    async def refused(self, text):
        """The error code and the close code and reason of a refused first message."""
        ws = await self.connect()
        await ws.send(text)
        reply = json.loads(await ws.recv())
        with self.assertRaises(websockets.exceptions.ConnectionClosed):
            await ws.recv()
        return reply.get("code"), ws.close_code, ws.close_reason

    async def request(self, ws, type_, payload=None):
        message = {"type": type_}
        if payload is not None:
            message["payload"] = payload
        await ws.send(json.dumps(message))

    async def next_message(self, ws, timeout=5):
        return json.loads(await asyncio.wait_for(ws.recv(), timeout))

    def test_hello_snapshot_live_frames_unsubscribe_and_renew(self):
        self.publish(declaration(1))
        for seq in (2, 3, 4):
            self.publish(frame(seq))

        async def body():
            ws, reply = await self.admitted()
            self.assertEqual(reply["payload"], {"protocol": 2, "role": "viewer", "scopes": ["live.subscribe"],
                                                "connId": "rv1", "capabilities": ["remoteShareSources"],
                                                "shareId": ""})
            await self.request(ws, "live.subscribe", {"maxHz": 20})
            self.assertEqual(await self.next_message(ws), {"type": "subscribe-ok", "payload": {"maxHz": 20, "fromSeq": 0}})
            frames = []
            for _ in range(4):
                m = await self.next_message(ws)
                self.assertEqual(m["type"], "rt.batch")
                self.assertEqual(len(m["frames"]), 1)
                frames.append(m["frames"][0])
            self.assertEqual([f["seq"] for f in frames], [1, 2, 3, 4])
            self.assertIn("declare", frames[0])
            self.publish(frame(5))
            m = await self.next_message(ws)
            self.assertEqual(m["frames"][0]["seq"], 5)

            self.assertEqual(self.command("end p1"), "ended")
            self.assertEqual(await self.next_message(ws), {"type": "rt.source", "payload": {
                "source": SOURCE, "state": "ended", "shareId": "", "lastSeq": 5}})

            await self.request(ws, "renew", {"token": view_token()})
            self.assertEqual(await self.next_message(ws), {"type": "renew-ok", "payload": {"scopes": ["live.subscribe"]}})

            await self.request(ws, "live.unsubscribe")
            self.assertEqual(await self.next_message(ws), {"type": "unsubscribe-ok"})
            self.publish(frame(6))
            with self.assertRaises(asyncio.TimeoutError):
                await self.next_message(ws, timeout=0.5)

            await self.request(ws, "no.such.type")
            self.assertEqual(await self.next_message(ws), {"type": "error", "code": "E_TRANSPORT_DENIED"})
            await ws.send(hello(view_token()))
            self.assertEqual(await self.next_message(ws), {"type": "error", "code": "E_TRANSPORT_DENIED"})

            # A renewal for another subject ends the session.
            await self.request(ws, "renew", {"token": view_token(sub="user:someone-else")})
            self.assertEqual(await self.next_message(ws), {"type": "error", "code": "E_TOKEN_AUDIENCE"})
            with self.assertRaises(websockets.exceptions.ConnectionClosed):
                await ws.recv()
            self.assertEqual((ws.close_code, ws.close_reason), (4401, "E_TOKEN_AUDIENCE"))

        self.run_async(body())

    def test_share_limits_the_sources_then_kick_and_revoke_close_with_4403(self):
        other = "p2@" + "b" * 64
        self.assertEqual(self.command("share " + json.dumps({"shareId": "s1", "sources": [SOURCE]})),
                         'share {"ok":true}')

        async def body():
            shared, reply = await self.admitted(view_token(share="s1"))
            self.assertEqual(reply["payload"]["shareId"], "s1")
            plain, _ = await self.admitted(view_token(sub="user:viewer2"))
            kept, _ = await self.admitted(view_token(sub="user:viewer3"))
            await self.request(shared, "live.subscribe", {"maxHz": 20})
            self.assertEqual((await self.next_message(shared))["type"], "subscribe-ok")
            self.publish({"source": other, "seq": 1, "provenance": "verified", "frame": {"v": 1}})
            self.publish(frame(1))
            m = await self.next_message(shared)
            self.assertEqual([f["source"] for f in m["frames"]], [SOURCE])

            self.assertEqual(self.command("kick rv2"), "kicked")
            with self.assertRaises(websockets.exceptions.ConnectionClosed):
                await asyncio.wait_for(plain.recv(), 5)
            self.assertEqual((plain.close_code, plain.close_reason), (4403, "kicked"))

            self.assertEqual(self.command("revoke " + json.dumps({"shareIds": ["s1"]})),
                             'revoke {"closed":1,"ok":true}')
            with self.assertRaises(websockets.exceptions.ConnectionClosed):
                while True:
                    await asyncio.wait_for(shared.recv(), 5)
            self.assertEqual((shared.close_code, shared.close_reason), (4403, "revoked"))
            self.assertEqual(await self.viewers_become(1), "viewers 1")
            await kept.close()

        self.run_async(body())

    def test_refusals_then_the_locked_out_ip(self):
        expired = sign("view", {"sub": "user:viewer1", "aud": AUDIENCE}, now=int(time.time()) - 7200)
        revoked = view_token()
        self.assertEqual(self.command("revocations " + sign("revocations", {"rev": 2, "jtis": [jti_of(revoked)]})),
                         "revocations ")
        cases = [
            ("wrong protocol", hello(view_token(), protocol=1), "E_ROLE_DENIED"),
            ("wrong role", hello(view_token(), role="source"), "E_ROLE_DENIED"),
            ("bad token", hello("not.a.token"), "E_TOKEN_SIGNATURE"),
            ("expired", hello(expired), "E_TOKEN_EXPIRED"),
        ]

        async def body():
            for what, text, code in cases:
                self.assertEqual(await self.refused(text), (code, 4401, code), what)
            # The fifth failure of this address locks it: this refusal is its last hello.
            self.assertEqual(await self.refused(hello(revoked)), ("E_TOKEN_REVOKED", 4401, "E_TOKEN_REVOKED"))
            with self.assertRaises((websockets.exceptions.InvalidHandshake, OSError, EOFError)):
                ws = await self.connect()
                await ws.close()

        self.run_async(body())

    def test_handshake_checks_replay_and_viewer_limit(self):
        async def body():
            with self.assertRaises(websockets.exceptions.InvalidHandshake):
                await self.connect(origin="http://page.invalid")
            token = view_token()
            first, _ = await self.admitted(token)
            self.assertEqual(await self.refused(hello(token)), ("E_TOKEN_REPLAY", 4401, "E_TOKEN_REPLAY"))
            second, reply = await self.admitted()
            self.assertEqual(reply["payload"]["connId"], "rv2")
            self.assertEqual(await self.refused(hello(view_token())), ("E_VIEWER_LIMIT", 4403, "E_VIEWER_LIMIT"))
            others = [(await self.admitted(view_token(sub="user:other%d" % i)))[0] for i in range(2)]
            self.assertEqual(await self.refused(hello(view_token(sub="user:fifth"))),
                             ("E_VIEWER_LIMIT", 4403, "E_VIEWER_LIMIT"))
            self.assertEqual(self.command("viewers"), "viewers 4")
            # Stopping the listener closes every viewer with 4001.
            self.assertTrue(self.command("restart").startswith("port "))
            for ws in [first, second] + others:
                with self.assertRaises(websockets.exceptions.ConnectionClosed):
                    while True:
                        await ws.recv()
                self.assertEqual((ws.close_code, ws.close_reason), (4001, "remote_access_disabled"))

        self.run_async(body())

    def test_resume_from_a_seq(self):
        self.publish(declaration(1))
        for seq in range(2, 11):
            self.publish(frame(seq))

        async def body():
            for payload in ({"fromSeq": 6}, {"fromSeq": 0, "resume": {SOURCE: 6, "other@x": -1}}):
                ws, _ = await self.admitted(view_token(sub="user:r%d" % len(payload)))
                await self.request(ws, "live.subscribe", payload)
                ok = await self.next_message(ws)
                self.assertEqual(ok["type"], "subscribe-ok", ok)
                got = [(await self.next_message(ws))["frames"][0] for _ in range(5)]
                self.assertIn("declare", got[0])
                self.assertEqual([m["seq"] for m in got[1:]], [7, 8, 9, 10])
                await ws.close()
            ws, _ = await self.admitted(view_token(sub="user:bad"))
            for payload in ({"fromSeq": -1}, {"resume": {SOURCE: -5}}, {"maxHz": "fast"}):
                await self.request(ws, "live.subscribe", payload)
                self.assertEqual(await self.next_message(ws), {"type": "error", "code": "E_SUBSCRIBE_INVALID"})
            await self.request(ws, "live.subscribe", {"source": "other@x"})
            self.assertEqual(await self.next_message(ws), {"type": "error", "code": "E_SCOPE_DENIED"})

        self.run_async(body())

    def test_resubscribe_naming_the_source_sends_each_seq_once_in_order(self):
        """Live frames still queued when the viewer subscribes to their source again are replaced by
        the new snapshot, not sent a second time after it."""
        self.publish(declaration(1))

        async def body():
            ws, _ = await self.admitted()
            await self.request(ws, "live.subscribe", {"source": SOURCE, "maxHz": 1})
            self.assertEqual((await self.next_message(ws))["type"], "subscribe-ok")
            self.assertEqual((await self.next_message(ws))["frames"][0]["seq"], 1)
            # At 1 a second these wait in the viewer's queue (any of them sent first would only
            # leave less to replace).
            for seq in (2, 3, 4):
                self.publish(frame(seq))
            await self.request(ws, "live.subscribe", {"source": SOURCE, "maxHz": 50, "fromSeq": 0})
            received = []
            while True:
                try:
                    m = await self.next_message(ws, timeout=2)
                except asyncio.TimeoutError:
                    break
                received.append("ok" if m["type"] == "subscribe-ok" else m["frames"][0]["seq"])
            again = received[received.index("ok") + 1:]
            self.assertEqual(again, [1, 2, 3, 4], received)
            self.publish(frame(5))
            self.assertEqual((await self.next_message(ws))["frames"][0]["seq"], 5)

        self.run_async(body())

    def count_during(self, payload, message_size, seconds=3.0, publish_hz=100):
        """Messages a viewer subscribed with payload receives while frames are published."""
        self.publish(declaration(1))

        async def body():
            ws, _ = await self.admitted()
            await self.request(ws, "live.subscribe", payload)
            self.assertEqual((await self.next_message(ws))["type"], "subscribe-ok")
            await self.next_message(ws)  # the declaration
            received = 0
            seq = 2
            end = time.monotonic() + seconds
            while time.monotonic() < end:
                self.publish(frame(seq, message_size))
                seq += 1
                try:
                    while True:
                        await asyncio.wait_for(ws.recv(), 1.0 / publish_hz)
                        received += 1
                except asyncio.TimeoutError:
                    pass
            return received

        return self.run_async(body())

    def test_pacing_holds_max_hz(self):
        received = self.count_during({"maxHz": 5}, 0)
        # At most one message per 200 ms, plus the one at the very start.
        self.assertLessEqual(received, int(3.0 * 5) + 2)
        self.assertGreater(received, 0)

    def test_byte_budget_of_the_window(self):
        # 60000-byte messages: four fit in the 250000-byte window, although maxHz would allow 20.
        received = self.count_during({"maxHz": 20}, 60000, publish_hz=50)
        self.assertLessEqual(received, 4 * 4)
        self.assertGreater(received, 0)

    def test_idle_viewer_is_closed(self):
        async def body():
            ws, _ = await self.admitted()
            self.assertEqual(self.command("advance 61000"), "advanced")
            with self.assertRaises(websockets.exceptions.ConnectionClosed):
                await asyncio.wait_for(ws.recv(), 10)
            self.assertEqual(await self.viewers_become(0), "viewers 0")

        self.run_async(body())


if __name__ == "__main__":
    unittest.main()
