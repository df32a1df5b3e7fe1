"""Plugin packages staged by the page on the real host: a package built and signed by qvn_sign is
stored under the data folder, staging it again changes nothing, and unstaging removes it."""
import asyncio
import json
import os
import subprocess
import tempfile
import unittest

import websockets

from host_harness import APP_ORIGIN, SIGNER, next_reply, start_with_page


def build_package(folder):
    os.makedirs(os.path.join(folder, "bin"))
    with open(os.path.join(folder, "bin", "tool"), "w") as f:
        f.write("#!/bin/sh\nexit 0\n")
    with open(os.path.join(folder, "data.txt"), "w") as f:
        f.write("caf\u00e9\n")
    manifest = {"id": "demo.plugin", "name": "Demo", "version": "1.0.0", "minAppVersion": "1.0.0",
                "runtime": "native", "entry": "bin/tool", "sandbox": "process", "extensions": [".csv"],
                "capabilities": ["decode"], "platforms": ["linux"]}
    with open(os.path.join(folder, "plugin.json"), "w") as f:
        json.dump(manifest, f)
    out = subprocess.run([SIGNER, "package", folder], check=True, capture_output=True, timeout=60)
    return json.loads(out.stdout)


class PluginPackages(unittest.TestCase):
    def setUp(self):
        self.host, self.port, page = start_with_page("qv-pkg-")
        self.token = page[0]
        self.source = tempfile.mkdtemp(prefix="qv-pkg-src-", dir=self.host.root)
        self.payload = build_package(os.path.join(self.source, "demo"))
        self.store = os.path.join(self.host.root, "data", "Quorvane", "plugins", "demo.plugin")

    def tearDown(self):
        code = self.host.stop()
        self.host.remove()
        self.assertEqual(code, 0)

    async def exchange(self, requests):
        async with websockets.connect("ws://127.0.0.1:%d/?token=%s" % (self.port, self.token),
                                      origin=APP_ORIGIN, max_size=None, open_timeout=10,
                                      ping_interval=None) as ws:
            replies = []
            for n, (type_, payload) in enumerate(requests, 1):
                await ws.send(json.dumps({"id": n, "type": type_, "payload": payload}))
                replies.append(json.loads(await next_reply(ws, 30)))
            return replies

    def test_stage_again_and_unstage(self):
        ok = {"ok": True, "pluginId": "demo.plugin"}
        [first] = asyncio.run(self.exchange([("stagePluginPackage", self.payload)]))
        self.assertEqual(first, {"id": 1, "data": ok})
        tree = os.path.join(self.store, "1.0.0")
        with open(os.path.join(tree, "data.txt"), encoding="utf-8") as f:
            self.assertEqual(f.read(), "caf\u00e9\n")
        self.assertTrue(os.access(os.path.join(tree, "bin", "tool"), os.X_OK))
        with open(os.path.join(self.store, "versions.json")) as f:
            self.assertEqual(f.read(), '["1.0.0"]')
        with open(os.path.join(self.store, "1.0.0.files.json")) as f:
            self.assertEqual(sorted(json.load(f)["files"]), ["bin/tool", "data.txt", "plugin.json"])
        stamp = os.stat(os.path.join(tree, "data.txt")).st_mtime_ns

        forged = json.loads(json.dumps(self.payload))
        forged["signedManifest"]["description"] = "not what was signed"
        replies = asyncio.run(self.exchange([
            ("stagePluginPackage", self.payload),
            ("stagePluginPackage", forged),
            ("stagePluginPackage", dict(self.payload, platform="windows")),
            ("unstagePluginPackage", {"pluginId": 5}),
        ]))
        self.assertEqual(replies, [
            {"id": 1, "data": ok},
            {"id": 2, "error": "package signature invalid"},
            {"id": 3, "error": "platform rejected"},
            {"id": 4, "error": "invalid parameter type: pluginId"},
        ])
        self.assertEqual(os.stat(os.path.join(tree, "data.txt")).st_mtime_ns, stamp)
        self.assertIn(b"[plugin] launch rejected: package signature invalid\n", self.host.read_log())

        replies = asyncio.run(self.exchange([("unstagePluginPackage", {"pluginId": "demo.plugin"}),
                                             ("unstagePluginPackage", {"pluginId": "demo.plugin"})]))
        self.assertEqual(replies, [{"id": 1, "data": ok}, {"id": 2, "data": ok}])
        self.assertFalse(os.path.exists(self.store))


if __name__ == "__main__":
    unittest.main()
