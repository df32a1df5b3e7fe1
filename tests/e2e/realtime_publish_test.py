"""Realtime publishing through the real host: a plugin session on the bridge publishes, the page
(python3-websockets in the page's place) receives the "rt.batch" texts, a new page connection gets
the stored declarations replayed, and the plugin's status reaches the page as "rt.plugin"."""
import asyncio
import json
import subprocess
import time
import unittest

import websockets

from host_harness import APP_ORIGIN, SIGNER, start_with_page, stop_host
from plugin_client import PluginClient

PLUGIN = "rt-demo"
PKG = "d" * 64
SOURCE = PLUGIN + "@" + PKG


def sign(kind, value):
    return subprocess.run([SIGNER, kind, json.dumps(value)], capture_output=True, text=True,
                          check=True).stdout.strip()


def compact(value):
    return json.dumps(value, separators=(",", ":"), sort_keys=True, ensure_ascii=False)


class RealtimePublishE2E(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.host, cls.port, page = start_with_page("qv-rt-")
        cls.token, cls.installation_id, cls.session_handle, _ = page

    @classmethod
    def tearDownClass(cls):
        stop_host(cls.host)

    def page(self):
        return websockets.connect("ws://127.0.0.1:%d/?token=%s" % (self.port, self.token), origin=APP_ORIGIN,
                                  max_size=None, open_timeout=10, ping_interval=None)

    async def request(self, ws, id_, type_, payload):
        await ws.send(json.dumps({"id": id_, "type": type_, "payload": payload}))
        while True:
            text = await asyncio.wait_for(ws.recv(), 10)
            if json.loads(text).get("id") == id_:
                return text

    async def batches(self, ws, count):
        """The "rt.batch" texts until count messages have arrived in them."""
        texts, seen = [], 0
        while seen < count:
            text = await asyncio.wait_for(ws.recv(), 10)
            message = json.loads(text)
            self.assertEqual(message["type"], "rt.batch", text)
            texts.append(text)
            seen += len(message["frames"])
        return texts

    def assert_batches(self, texts, expected):
        """Each text is, byte for byte, the batch of the next expected messages."""
        at = 0
        for text in texts:
            n = len(json.loads(text)["frames"])
            self.assertEqual(text, compact({"frames": expected[at:at + n], "type": "rt.batch"}))
            at += n
        self.assertEqual(at, len(expected))

    def test_publish_batches_replay_and_status(self):
        audience = "qvn-install:%s/%s" % (self.installation_id, self.session_handle)
        token = sign("cap", {"sub": "user:u1/plugin:" + PLUGIN, "pkg": PKG, "cap": "realtime", "aud": audience,
                             "scope": ["rt.publish:" + PLUGIN]})
        declare = {"streamId": "car", "epoch": 0, "clock": "sim",
                   "channels": [{"id": "speed", "interpolation": "linear", "unit": "km/h", "declaredHz": 60},
                                {"id": "bad", "interpolation": "cubic"},
                                {"id": "rpm", "interpolation": "previous", "declaredHz": 0}]}
        bodies = [
            {"seq": 1, "declare": declare},
            {"seq": 2, "frame": {"t": 0.5, "channels": [{"id": "speed", "values": [101.5]}, {"id": "bad", "values": [1, 2]}]}},
            {"seq": 3, "frame": {"channels": [{"id": "rpm", "values": [6500]}]}},
            {"seq": 6, "timing": {"ops": [{"op": "lap", "n": 1}]}},
        ]
        rejected = [{"id": "bad", "reason": "invalid-interpolation"}]
        stamp = {"source": SOURCE, "provenance": "unverified"}
        normalised = dict(declare, channels=[declare["channels"][0],
                                             {"id": "rpm", "interpolation": "previous"}])
        expected = [
            dict(stamp, seq=1, declare=normalised, rejectedChannels=rejected),
            dict(stamp, seq=2, frame={"t": 0.5, "channels": [{"id": "speed", "values": [101.5]}]},
                 rejectedChannelValues=2),
            dict(stamp, seq=3, frame=bodies[2]["frame"]),
            dict(stamp, seq=6, timing=bodies[3]["timing"],
                 gap={"reason": "sequence-skip", "fromSeq": 4, "toSeq": 5, "missed": 2}),
        ]

        async def run():
            async with self.page() as ws:
                self.assertEqual(await self.request(ws, 1, "applyRpcRevocations",
                                                    json.loads(sign("revocations", {"rev": 1}))),
                                 '{"data":{"ok":true},"id":1}')
                self.assertEqual(await self.request(ws, 2, "armPluginRpc",
                                                    {"pluginId": PLUGIN, "packageSha256": PKG, "token": token}),
                                 '{"data":{"ok":true,"pluginId":"rt-demo"},"id":2}')
                plugin = PluginClient(self.port)
                try:
                    plugin.send_json({"type": "hello", "payload": {"role": "source", "token": token}})
                    self.assertIn('"type":"hello-ok"', plugin.text())
                    replies = []
                    for body in bodies:
                        plugin.send_json({"type": "rt.publish", "payload": body})
                        replies.append(plugin.text())
                    self.assertEqual(replies, [
                        compact({"type": "publish-ok", "payload": {"seq": 1, "rejectedChannels": rejected}}),
                        '{"payload":{"seq":2},"type":"publish-ok"}',
                        '{"payload":{"seq":3},"type":"publish-ok"}',
                        '{"payload":{"seq":6},"type":"publish-ok"}'])
                    plugin.send_json({"type": "rt.publish", "payload": {"seq": 6, "frame": {"channels": []}}})
                    self.assertEqual(plugin.text(), '{"code":"E_TOKEN_REPLAY","type":"error"}')
                    self.assert_batches(await self.batches(ws, 4), expected)

                    # The issuer's clock moves on past the session's grace: the plugin is reported to
                    # the page as needing to be online, and its publish still goes through.
                    later_ms = (int(time.time()) + 1000) * 1000
                    self.assertEqual(await self.request(ws, 3, "applyRpcRevocations",
                                                        json.loads(sign("revocations",
                                                                        {"rev": 2, "serverNowMs": later_ms}))),
                                     '{"data":{"ok":true},"id":3}')
                    plugin.send_json({"type": "rt.publish", "payload": {"seq": 7, "frame": {"channels": []}}})
                    self.assertEqual(plugin.text(), '{"payload":{"seq":7},"type":"publish-ok"}')
                    texts = []
                    while not (any('"rt.plugin"' in t for t in texts) and any('"seq":7' in t for t in texts)):
                        texts.append(await asyncio.wait_for(ws.recv(), 10))
                    self.assertIn('{"detail":"needs to be online to continue","needsOnline":true,"pid":0,'
                                  '"pluginId":"rt-demo","provenance":"verified","restarts":0,"state":"stopped",'
                                  '"type":"rt.plugin"}', texts)
                finally:
                    plugin.close()

            # A new page connection gets the stored declaration replayed, without a gap.
            async with self.page() as ws:
                self.assertEqual(await self.batches(ws, 1), [compact({"frames": [expected[0]], "type": "rt.batch"})])
        asyncio.run(run())


if __name__ == "__main__":
    unittest.main(verbosity=2)
