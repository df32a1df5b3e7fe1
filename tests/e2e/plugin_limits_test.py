"""Limits a plugin package or a plugin run meets on the real host, with another plugin running
beside it: a package near the store's size limit is staged (a reply, and the other plugin keeps
running); a message over the page connection's limit is refused with close 1009 and stops no
plugin; a plugin that floods its stderr does not fill the log and the page is still answered."""
import asyncio
import json
import os
import struct
import tempfile
import time
import unittest

import websockets

from host_harness import start_with_page, stop_host
from plugin_process_test import Page, PluginPage, StagedPlugin, gone, make_package, sign

MIB = 1024 * 1024
LARGE_PLUGIN = "com.test.large"
FLOOD_PLUGIN = "com.test.flood"


def write_manifest(folder, plugin_id, capabilities, launch=None):
    manifest = {"id": plugin_id, "name": plugin_id, "version": "1.0.0", "minAppVersion": "0.0.0",
                "runtime": "native", "entry": "bin/plugin", "sandbox": "process", "extensions": [],
                "capabilities": capabilities, "platforms": ["linux"]}
    if launch:
        manifest["launch"] = {"linux": {"realtime": launch}}
    with open(os.path.join(folder, "plugin.json"), "w") as f:
        json.dump(manifest, f)


def large_package(folder, size):
    """A signed package whose zip is about size bytes: random bytes do not compress."""
    os.makedirs(os.path.join(folder, "bin"))
    with open(os.path.join(folder, "bin", "plugin"), "w") as f:
        f.write("#!/bin/sh\nexit 0\n")
    with open(os.path.join(folder, "data.bin"), "wb") as f:
        f.write(os.urandom(size))
    write_manifest(folder, LARGE_PLUGIN, ["decode"])
    return json.loads(sign("package", folder))


def flood_package(folder):
    """A realtime plugin that writes its stderr as fast as the host takes it, and never exits."""
    os.makedirs(os.path.join(folder, "bin"))
    with open(os.path.join(folder, "bin", "plugin"), "w") as f:
        f.write("#!/bin/sh\nexec yes 'a plugin that floods its stderr' 1>&2\n")
    launch = {"executable": "bin/plugin", "transport": "stdio"}
    write_manifest(folder, FLOOD_PLUGIN, ["realtime"], launch)
    return StagedPlugin(json.loads(sign("package", folder)), launch)


class PluginLimitsE2E(PluginPage):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp(prefix="qv-plugin-limits-")
        cls.plugin = StagedPlugin(make_package(os.path.join(cls.scratch, "pkg")))
        cls.host, cls.port, page = start_with_page("qv-plugin-limits-")
        cls.token, cls.installation_id, cls.session_handle, _ = page

    @classmethod
    def tearDownClass(cls):
        stop_host(cls.host, cls.scratch)

    def log_size(self):
        return os.path.getsize(self.host.log)

    def test_large_package_is_staged_while_another_plugin_runs(self):
        # 50 MiB of zip is about 67 MiB of base64: more than one message of any other connection.
        payload = large_package(os.path.join(self.scratch, "large"), 50 * MIB)
        self.assertGreater(len(payload["zipBase64"]), 64 * MIB)

        async def run():
            async with self.page() as ws:
                page = Page(ws)
                pid = await self.start(page, {"hang": True})
                staged = await page.request("stagePluginPackage", payload, timeout=240)
                self.assertEqual(staged.get("data"), {"ok": True, "pluginId": LARGE_PLUGIN}, staged)
                self.assertFalse(gone(pid))
                self.assertNotIn("stopped", [s for s, _ in page.states(self.plugin.id)])

                # Over the page's limit: refused with close 1009 as soon as the header says so.
                ws.transport.write(bytes([0x81, 0xFF]) + struct.pack(">Q", 1 << 40) + b"\0\0\0\0")
                with self.assertRaises(websockets.ConnectionClosed) as closed:
                    while True:
                        await asyncio.wait_for(ws.recv(), 30)
                self.assertEqual(closed.exception.rcvd.code, 1009)
                self.assertRegex(closed.exception.rcvd.reason, r"^message exceeds \d+ bytes$")
                return pid
        pid = asyncio.run(run())
        self.assertIn(b"[ws] page message over ", self.host.read_log())
        # The refusal is no page going away: the other plugin still runs, and the page that
        # connects again finds it and can stop it.
        time.sleep(1)
        self.assertFalse(gone(pid))

        async def stop():
            async with self.page() as ws:
                stopped = await Page(ws).request("stopRealtimePlugin", {"pluginId": self.plugin.id})
                self.assertEqual(stopped.get("data", {}).get("ok"), True, stopped)
        asyncio.run(stop())
        self.assertTrue(gone(pid))

    def test_stderr_flood_does_not_fill_the_log(self):
        flood = flood_package(os.path.join(self.scratch, "flood"))

        async def run():
            async with self.page() as ws:
                page = Page(ws)
                await self.start(page, {}, plugin=flood)
                before = self.log_size()
                end = time.monotonic() + 15
                answered = 0
                while time.monotonic() < end:
                    hello = await page.request("hello", {"token": self.token}, timeout=5)
                    self.assertEqual(hello["data"]["sessionHandle"], self.session_handle)
                    answered += 1
                    await asyncio.sleep(0.5)
                grown = self.log_size() - before
                stopped = await page.request("stopRealtimePlugin", {"pluginId": flood.id})
                self.assertEqual(stopped.get("data", {}).get("ok"), True, stopped)
                return grown, answered
        grown, answered = asyncio.run(run())
        print("log grew by %d bytes in 15 s of stderr flood; %d page requests answered" % (grown, answered))
        self.assertLess(grown, MIB)
        self.assertGreaterEqual(answered, 10)
        self.assertRegex(self.host.read_log().decode(errors="replace"),
                         r"\[plugin\] stderr plugin=%s pid=\d+: \d+ bytes left out of the log" % FLOOD_PLUGIN)


if __name__ == "__main__":
    unittest.main(verbosity=2)
