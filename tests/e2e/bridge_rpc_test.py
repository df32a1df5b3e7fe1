"""The page's side of the real host's bridge, with Debian's websockets library.

The bridge token is only ever handed to the page; the test reads it out of the page the host
opened, over the browser's debugging port that QVN_WEBVIEW_DEBUG_PORT turns on.
"""
import asyncio
import base64
import hashlib
import json
import os
import re
import struct
import subprocess
import time
import unittest

import websockets

from host_harness import APP_ORIGIN, BUILD, SIGNER, next_reply, start_with_page
from plugin_client import PluginClient

CAPABILITIES = [
    "hello", "tokenInHello", "originCheck", "hostCheck", "pluginDeveloperMode", "authDeviceProof",
    "getAuthDeviceIdentity", "signAuthDeviceChallenge", "startRealtimePlugin", "bmsTelemetryUrl",
    "stopRealtimePlugin", "stagePluginPackage", "unstagePluginPackage", "nativePluginPack",
    "nativePluginInputStream", "armPluginRpc", "rt.publish", "remote.status", "remote.setEnabled",
    "remote.shareSources", "remoteShareSources", "remote.revoke", "remote.kick", "remote.connect",
    "remote.renew", "remote.disconnect", "shell.openExternal"]


def compact(value):
    return json.dumps(value, separators=(",", ":"), sort_keys=True, ensure_ascii=False)


def build_version():
    with open(os.path.join(BUILD, "generated", "build_config.h")) as f:
        return re.search(r'QV_VERSION_STRING "([^"]+)"', f.read()).group(1)


class BridgeRpc(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.host, cls.port, page = start_with_page("qv-rpc-")
        cls.token, cls.installation_id, cls.session_handle, cls.page_hello = page

    @classmethod
    def tearDownClass(cls):
        code = cls.host.remove()
        assert code == 0, "host exit code %r" % code

    @classmethod
    def read_log(cls):
        return cls.host.read_log()

    # --- helpers -------------------------------------------------------------------------------

    def connect(self, path="/", origin=APP_ORIGIN):
        return websockets.connect("ws://127.0.0.1:%d%s" % (self.port, path), origin=origin, max_size=None,
                                  open_timeout=10, ping_interval=None)

    def page(self):
        """An authenticated page connection (token in the path)."""
        return self.connect("/?token=" + self.token)

    async def request(self, ws, id_, type_, payload=None):
        message = {"id": id_, "type": type_}
        if payload is not None:
            message["payload"] = payload
        await ws.send(json.dumps(message))
        return await next_reply(ws, 10)

    def expected_hello(self):
        return {"protocol": 2, "platform": "linux", "hardened": True, "capabilities": CAPABILITIES,
                "pluginDeveloperMode": False, "nativeVersion": build_version(), "appVersion": "1.2",
                "installationId": self.installation_id, "sessionHandle": self.session_handle}

    # --- tests ---------------------------------------------------------------------------------

    def test_hello_reply_is_exact(self):
        self.assertRegex(self.installation_id, r"^[0-9a-f]{32}$")
        self.assertRegex(self.session_handle, r"^[0-9a-f]{32}$")
        # What the host's own page received.
        self.assertEqual(json.loads(self.page_hello), self.expected_hello())

        async def run():
            async with self.connect("/?protocol=2") as ws:
                await ws.send(json.dumps({"id": "h", "type": "hello", "payload": {"token": self.token}}))
                return await next_reply(ws, 10)
        self.assertEqual(asyncio.run(run()), compact({"id": "h", "data": self.expected_hello()}))

    def test_token_in_the_path_needs_no_hello(self):
        async def run():
            async with self.page() as ws:
                return await self.request(ws, 1, "getPluginDeveloperMode")
        self.assertEqual(asyncio.run(run()), '{"data":{"enabled":false},"id":1}')

    def test_silent_ui_connection_is_closed(self):
        async def run():
            async with self.connect("/") as ws:
                with self.assertRaises(websockets.ConnectionClosed):
                    await asyncio.wait_for(ws.recv(), 15)
        asyncio.run(run())

    def test_reconnect_replaces_the_old_connection(self):
        async def run():
            old = await self.page()
            self.assertEqual(await self.request(old, 1, "setUILanguage"), '{"data":{"success":true},"id":1}')
            async with self.connect("/") as new:
                await new.send(json.dumps({"id": 2, "type": "hello", "payload": {"token": self.token}}))
                self.assertEqual(json.loads(await next_reply(new, 10))["id"], 2)
                with self.assertRaises(websockets.ConnectionClosed):
                    await next_reply(old, 10)
                self.assertEqual(await self.request(new, 3, "getPluginDeveloperMode"),
                                 '{"data":{"enabled":false},"id":3}')
        connected = b"[main] WS client connected\n"
        before = self.read_log().count(connected)
        asyncio.run(run())
        # Both connections ran the host's connected handler (the host's own page may add more).
        self.assertGreaterEqual(self.read_log().count(connected) - before, 2)

    def test_connection_without_the_token_leaves_the_page_alone(self):
        async def run():
            async with self.page() as current:
                for path, token in (("/", "00" * 32), ("/?token=" + "00" * 32, None), ("/", None)):
                    with self.subTest(path=path, token=token):
                        try:
                            async with self.connect(path) as intruder:
                                if token is not None:
                                    await intruder.send(json.dumps({"id": 1, "type": "hello",
                                                                    "payload": {"token": token}}))
                                else:
                                    await intruder.send(json.dumps({"id": 1, "type": "getPluginDeveloperMode"}))
                                with self.assertRaises(websockets.ConnectionClosed):
                                    await asyncio.wait_for(intruder.recv(), 10)
                        except websockets.InvalidHandshake:
                            pass  # refused at the handshake: just as good
                # A forged Origin from another site never reaches the page's slot either.
                with self.assertRaises((websockets.InvalidHandshake, websockets.ConnectionClosed)):
                    async with self.connect("/?token=" + self.token, origin="https://evil.example") as other:
                        await asyncio.wait_for(other.recv(), 10)
                self.assertEqual(await self.request(current, "still", "setUILanguage"),
                                 '{"data":{"success":true},"id":"still"}')
        asyncio.run(run())

    def test_bad_json_malformed_unknown_type_and_null_id(self):
        async def run():
            async with self.page() as ws:
                for text in ("{", "[1,2]", '{"id":1}', '{"type":"setUILanguage"}', '{"id":1,"type":7}'):
                    await ws.send(text)
                # Nothing came back for those: the next message is this request's reply.
                self.assertEqual(await self.request(ws, None, "noSuchRequest"),
                                 '{"error":"not implemented in qvn_native_win yet: noSuchRequest","id":null}')
                self.assertEqual(await self.request(ws, {"b": 1, "a": [2]}, "shell.openExternal",
                                                    {"url": "mailto:x@example.org"}),
                                 '{"error":"url must be http or https","id":{"a":[2],"b":1}}')
                self.assertEqual(await self.request(ws, 5, "setAlwaysOnTop", {"alwaysOnTop": "yes"}),
                                 '{"error":"invalid parameter type: alwaysOnTop","id":5}')
        asyncio.run(run())
        log = self.read_log()
        self.assertIn(b"[rpc] bad JSON at byte 2\n", log)
        self.assertGreaterEqual(log.count(b"[rpc] malformed message (missing id/type)\n"), 4, log)

    def test_device_identity_and_a_signed_challenge(self):
        # The start-up warm-up made the key before the page asked for it.
        self.assertIn(b"[ota-attest] created new software-backed ECDSA P-256 key\n", self.read_log())
        client = {"purpose": "qvn-account-device-v1", "platform": "linux", "nonce": "n-1"}

        async def run():
            async with self.page() as ws:
                identity = json.loads(await self.request(ws, 1, "getAuthDeviceIdentity"))
                data = identity["data"]
                client.update(keyId=data["keyId"], installId=data["installId"], nativeVersion=data["nativeVersion"])
                text = json.dumps(client, indent=1)
                signed = json.loads(await self.request(ws, 2, "signAuthDeviceChallenge",
                                                       {"keyId": data["keyId"], "clientData": text}))
                wrong = await self.request(ws, 3, "signAuthDeviceChallenge", {"keyId": "0" * 64, "clientData": text})
                return identity, text, signed, wrong
        identity, text, signed, wrong = asyncio.run(run())
        self.assertEqual(identity["id"], 1)
        data = identity["data"]
        self.assertRegex(data["keyId"], r"^[0-9a-f]{64}$")
        self.assertEqual(data, {"keyId": data["keyId"], "platform": "linux", "installId": self.installation_id,
                                "nativeVersion": build_version()})
        self.assertEqual(wrong, '{"error":"keyId mismatch","id":3}')
        # r||s checked by the openssl command line against the host's stored key.
        sig = base64.b64decode(signed["data"]["signature"])
        self.assertEqual(len(sig), 64)

        def der_int(b):
            b = b.lstrip(b"\0") or b"\0"
            if b[0] & 0x80:
                b = b"\0" + b
            return bytes([2, len(b)]) + b
        body = der_int(sig[:32]) + der_int(sig[32:])
        work = os.path.join(self.host.root, "verify")
        os.makedirs(work, exist_ok=True)
        for name, content in (("sig.der", bytes([0x30, len(body)]) + body), ("data", text.encode())):
            with open(os.path.join(work, name), "wb") as f:
                f.write(content)
        key = os.path.join(self.host.root, "data", "Quorvane", "Keys", "QvnNativeWinOtaAttestKey.pem")
        pub = subprocess.run(["openssl", "pkey", "-in", key, "-pubout", "-out", os.path.join(work, "pub.pem")],
                             capture_output=True)
        self.assertEqual(pub.returncode, 0, pub.stderr)
        out = subprocess.run(["openssl", "dgst", "-sha256", "-verify", os.path.join(work, "pub.pem"),
                              "-signature", os.path.join(work, "sig.der"), os.path.join(work, "data")],
                             capture_output=True, text=True)
        self.assertEqual(out.stdout, "Verified OK\n", out.stderr)

    def test_page_fills_and_finalises_an_update_then_clears_it(self):
        # An overlay pack of no entries: the host takes only what its asset loader can parse.
        pack = b"QVNPACK1" + struct.pack("<III", 1, 0, 0) + b"bytes the page downloaded" * 100

        async def run():
            async with self.page() as ws:
                staging = json.loads(await self.request(ws, 1, "getOtaStagingPath"))["data"]["path"]
                written = await self.request(ws, 2, "appendFileChunk",
                                             {"path": staging, "first": True,
                                              "base64": base64.b64encode(pack).decode()})
                wrong = await self.request(ws, 3, "finalizeOtaUpdate",
                                           {"sha256": "0" * 64, "version": "7.0", "kind": "full"})
                await self.request(ws, 4, "appendFileChunk",
                                   {"path": staging, "first": True, "base64": base64.b64encode(pack).decode()})
                done = await self.request(ws, 5, "finalizeOtaUpdate",
                                          {"sha256": hashlib.sha256(pack).hexdigest().upper(), "version": "7.0",
                                           "kind": "Overlay"})
                active = os.path.join(os.path.dirname(staging), "active")
                with open(os.path.join(active, "meta.json")) as f:
                    meta = json.load(f)
                with open(os.path.join(active, "ota.pack"), "rb") as f:
                    stored = f.read()
                cleared = await self.request(ws, 6, "clearOtaUpdate")
                return staging, written, wrong, done, meta, stored, cleared, os.path.exists(active)
        staging, written, wrong, done, meta, stored, cleared, still = asyncio.run(run())
        self.assertTrue(staging.endswith("/Quorvane/ota/staging.qvnpack"), staging)
        self.assertNotIn("error", json.loads(written))
        self.assertEqual(wrong, compact({"id": 3, "error": "sha256 mismatch: expected " + "0" * 64 + " got " +
                                         hashlib.sha256(pack).hexdigest()}))
        self.assertEqual(done, '{"data":{"success":true},"id":5}')
        self.assertEqual(meta, {"kind": "overlay", "sha256": hashlib.sha256(pack).hexdigest(), "version": "7.0"})
        self.assertEqual(stored, pack)
        self.assertEqual(cleared, '{"data":{"success":true},"id":6}')
        self.assertFalse(still)

    def test_developer_mode_consent_without_a_display_declines(self):
        async def run():
            async with self.page() as ws:
                return await self.request(ws, 1, "setPluginDeveloperMode", {"enabled": True})
        self.assertEqual(asyncio.run(run()), '{"data":{"confirmed":false,"enabled":false},"id":1}')
        log = self.read_log()
        self.assertIn(b"[dialogs] no display: OK/Cancel box reported as cancelled\n", log)
        self.assertIn(b"[plugin] developer mode declined (native confirmation)\n", log)

    def test_page_arms_a_plugin_that_then_says_hello(self):
        def sign(kind, value):
            return subprocess.run([SIGNER, kind, json.dumps(value)], capture_output=True, text=True,
                                  check=True).stdout.strip()
        pkg = "ab" * 32
        token = sign("cap", {"sub": "user:u1/plugin:lap-timer", "pkg": pkg, "cap": "realtime",
                             "aud": "qvn-install:%s/%s" % (self.installation_id, self.session_handle),
                             "scope": ["rt.publish:lap-timer"]})

        def plugin_hello():
            plugin = PluginClient(self.port)
            try:
                plugin.send_json({"type": "hello", "payload": {"role": "source", "token": token}})
                self.assertEqual(plugin.text(), '{"payload":{"protocol":2,"role":"source",'
                                                '"scopes":["rt.publish:lap-timer"]},"type":"hello-ok"}')
                plugin.send_json({"type": "plugin.job.next"})
                self.assertEqual(json.loads(plugin.text())["type"], "error")
            finally:
                plugin.close()
            # The token was used up by that hello: a second one is a replay.
            again = PluginClient(self.port)
            try:
                again.send_json({"type": "hello", "payload": {"role": "source", "token": token}})
                self.assertEqual(again.close_frame(), (4401, "E_TOKEN_REPLAY"))
            finally:
                again.close()

        # The page stays connected: when it goes, its plugins are stopped and their tokens disarmed.
        async def arm_and_hello():
            async with self.page() as ws:
                self.assertEqual(await self.request(ws, 1, "applyRpcRevocations",
                                                    json.loads(sign("revocations", {"rev": 1}))),
                                 '{"data":{"ok":true},"id":1}')
                self.assertEqual(await self.request(ws, 2, "armPluginRpc",
                                                    {"pluginId": "lap-timer", "packageSha256": pkg,
                                                     "token": token}),
                                 '{"data":{"ok":true,"pluginId":"lap-timer"},"id":2}')
                await asyncio.to_thread(plugin_hello)
        asyncio.run(arm_and_hello())


if __name__ == "__main__":
    unittest.main(verbosity=2)
