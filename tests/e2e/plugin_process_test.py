"""Plugin processes started by the real host: the page (python3-websockets in the page's place)
stages the test plugin's signed package, arms its token and starts it; its stdio publishes reach
the page as "rt.batch"; stopping it, closing the page and ending or killing the host each leave no
process of the plugin behind, also none that left its session; a child that never reads its
replies does not hold up the page's requests; a stored program that lost its execute bit is
repaired by the store's check."""
import asyncio
import json
import os
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

import websockets

from host_harness import (APP_ORIGIN, BUILD, SIGNER, descendants, ended, gone, start_time, start_with_page, stop_host,
                          wait_for)

PLUGIN = "com.test.stdio"
TEST_PLUGIN = os.path.join(BUILD, "tests", "plugins", "qvn_test_plugin")


def sign(*args):
    return subprocess.run([SIGNER, *args], capture_output=True, text=True, check=True).stdout.strip()


def read_pid(path):
    def present():
        try:
            with open(path) as f:
                return f.read().strip().isdigit()
        except FileNotFoundError:
            return False
    assert wait_for(present, 10), "no pid written to " + path
    with open(path) as f:
        return int(f.read())


def make_package(folder):
    """The test plugin's package folder: its manifest and the program, both from the build."""
    os.makedirs(os.path.join(folder, "bin"))
    shutil.copy2(TEST_PLUGIN, os.path.join(folder, "bin", "plugin"))
    launch = {"executable": "bin/plugin", "transport": "stdio"}
    manifest = {"id": PLUGIN, "name": "Stdio test plugin", "version": "1.0.0", "minAppVersion": "0.0.0",
                "runtime": "native", "entry": "bin/plugin", "sandbox": "process", "extensions": [],
                "capabilities": ["realtime"], "platforms": ["linux"],
                "launch": {"linux": {"realtime": launch}}}
    with open(os.path.join(folder, "plugin.json"), "w") as f:
        json.dump(manifest, f)
    return json.loads(sign("package", folder))


class Page:
    """One page connection and the events it was sent besides the replies."""

    def __init__(self, ws):
        self.ws = ws
        self.events = []
        self.next_id = 1

    async def request(self, type_, payload=None, timeout=10):
        id_ = self.next_id
        self.next_id += 1
        message = {"id": id_, "type": type_}
        if payload is not None:
            message["payload"] = payload
        await self.ws.send(json.dumps(message))
        while True:
            message = json.loads(await asyncio.wait_for(self.ws.recv(), timeout))
            if message.get("id") == id_:
                return message
            self.events.append(message)

    async def until(self, predicate, timeout=20):
        """Reads events until predicate holds for the ones seen so far."""
        end = time.monotonic() + timeout
        while not predicate(self.events):
            left = end - time.monotonic()
            assert left > 0, "timed out; events: %r" % self.events[-5:]
            self.events.append(json.loads(await asyncio.wait_for(self.ws.recv(), left)))

    def frames(self):
        return [f for e in self.events if e.get("type") == "rt.batch" for f in e["frames"]]

    def states(self, plugin_id=None):
        """(state, pid) of the "rt.plugin" events seen, of one plugin when its id is given."""
        return [(e["state"], e["pid"]) for e in self.events if e.get("type") == "rt.plugin"
                and (plugin_id is None or e.get("pluginId") == plugin_id)]


class StagedPlugin:
    """A plugin's signed package as the page stages it, and the launch the page asks for."""

    def __init__(self, stage, launch=None):
        self.stage = stage
        self.id = stage["pluginId"]
        self.sha = stage["packageSha256"]
        self.launch = launch or {"executable": "bin/plugin", "transport": "stdio"}


class PluginPage(unittest.TestCase):
    """Drives plugins as the page does. A subclass sets port, token, installation_id,
    session_handle and plugin (the StagedPlugin its helpers use unless given another)."""

    def page(self, port=None, token=None):
        return websockets.connect("ws://127.0.0.1:%d/?token=%s" % (port or self.port, token or self.token),
                                  origin=APP_ORIGIN, max_size=None, open_timeout=10, ping_interval=None)

    def cap_token(self, installation_id=None, session_handle=None, plugin=None):
        plugin = plugin or self.plugin
        audience = "qvn-install:%s/%s" % (installation_id or self.installation_id,
                                          session_handle or self.session_handle)
        return sign("cap", json.dumps({"sub": "user:u1/plugin:" + plugin.id, "pkg": plugin.sha, "cap": "realtime",
                                       "aud": audience, "scope": ["rt.publish:" + plugin.id]}))

    async def request_start(self, page, settings, token=None, stage=True, plugin=None):
        """Stages (again: the store keeps one copy) unless told not to, arms a fresh token and asks
        for the plugin's start; returns the reply."""
        plugin = plugin or self.plugin
        if stage:
            staged = await page.request("stagePluginPackage", plugin.stage)
            self.assertEqual(staged.get("data", {}).get("ok"), True, staged)
        # A token is only armed against a revocation list the host holds.
        revocations = await page.request("applyRpcRevocations", json.loads(sign("revocations", '{"rev": 1}')))
        self.assertEqual(revocations["data"], {"ok": True}, revocations)
        armed = await page.request("armPluginRpc", {"pluginId": plugin.id, "packageSha256": plugin.sha,
                                                    "token": token or self.cap_token(plugin=plugin)})
        self.assertEqual(armed, {"id": armed["id"], "data": {"ok": True, "pluginId": plugin.id}})
        return await page.request("startRealtimePlugin", {
            "pluginId": plugin.id, "packageSha256": plugin.sha, "capability": "realtime",
            "pluginSettings": settings, "launch": plugin.launch})

    async def start(self, page, settings, token=None, stage=True, plugin=None):
        """request_start, which must succeed; returns the pid the "running" event gave."""
        plugin = plugin or self.plugin
        page.events.clear()
        started = await self.request_start(page, settings, token, stage, plugin)
        self.assertEqual(started.get("data"), {"ok": True, "pluginId": plugin.id, "provenance": "verified"},
                         started)
        await page.until(lambda events: any(s == "running" for s, _ in page.states(plugin.id)))
        pid = next(p for s, p in page.states(plugin.id) if s == "running")
        self.assertGreater(pid, 0)
        return pid


class PluginProcessE2E(PluginPage):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp(prefix="qv-plugin-proc-")
        cls.stage = make_package(os.path.join(cls.scratch, "pkg"))
        cls.sha = cls.stage["packageSha256"]
        cls.plugin = StagedPlugin(cls.stage)
        cls.host, cls.port, page = start_with_page("qv-plugin-proc-")
        cls.token, cls.installation_id, cls.session_handle, _ = page

    @classmethod
    def tearDownClass(cls):
        stop_host(cls.host, cls.scratch)

    def path(self, name):
        return os.path.join(self.scratch, name + "-" + str(time.monotonic_ns()))

    def test_frames_reach_the_page_and_stop_ends_every_descendant(self):
        grandchild = self.path("grandchild")

        async def run():
            async with self.page() as ws:
                page = Page(ws)
                pid = await self.start(page, {"publish": 5, "grandchild": grandchild, "hang": True})
                await page.until(lambda events: len(page.frames()) >= 5)
                frames = page.frames()
                self.assertEqual([f["seq"] for f in frames], [1, 2, 3, 4, 5])
                self.assertEqual(frames[0]["source"], PLUGIN + "@" + self.sha)
                self.assertEqual(frames[0]["provenance"], "verified")
                self.assertEqual(frames[2]["frame"], {"channels": [{"id": "speed", "values": [3]}]})
                orphan = read_pid(grandchild)
                self.assertFalse(gone(orphan))

                stopped = await page.request("stopRealtimePlugin", {"pluginId": PLUGIN})
                self.assertEqual(stopped["data"], {"ok": True, "pluginId": PLUGIN})
                # The reply comes after the job is empty: nothing is left to wait for.
                self.assertTrue(gone(pid))
                self.assertTrue(gone(orphan))
                await page.until(lambda events: ("stopped", pid) in page.states())
        asyncio.run(run())

    def test_closing_the_page_stops_its_plugins(self):
        grandchild = self.path("grandchild")

        async def run():
            async with self.page() as ws:
                page = Page(ws)
                pid = await self.start(page, {"grandchild": grandchild, "hang": True})
                return pid, read_pid(grandchild)
        pid, orphan = asyncio.run(run())
        self.assertTrue(wait_for(lambda: gone(pid) and gone(orphan), 20))

    def test_child_that_never_reads_its_replies_does_not_hold_up_the_page(self):
        async def run():
            async with self.page() as ws:
                page = Page(ws)
                # Far more replies than the pipe to its stdin and the host's backlog hold.
                await self.start(page, {"publish": 40000, "ignoreStdin": True, "hang": True})
                dropped = b"[plugin] reply dropped plugin=" + PLUGIN.encode()
                # The page goes on reading its frames meanwhile, as a page does.
                await page.until(lambda events: dropped in self.host.read_log(), 60)
                # The child is stuck with a full stdin; the page's requests are still answered.
                hello = await page.request("hello", {"token": self.token})
                self.assertEqual(hello["data"]["sessionHandle"], self.session_handle)
                stopped = await page.request("stopRealtimePlugin", {"pluginId": PLUGIN})
                self.assertEqual(stopped["data"]["ok"], True)
                self.assertLess(len(page.frames()), 40001)
        asyncio.run(run())

    def test_stop_ends_a_descendant_that_left_the_session(self):
        escapee = self.path("escapee")

        async def run():
            async with self.page() as ws:
                page = Page(ws)
                await self.start(page, {"escapee": escapee, "hang": True})
                orphan = read_pid(escapee)
                self.assertFalse(gone(orphan))
                asked = time.monotonic()
                stopped = await page.request("stopRealtimePlugin", {"pluginId": PLUGIN})
                self.assertEqual(stopped["data"], {"ok": True, "pluginId": PLUGIN})
                return orphan, asked
        orphan, asked = asyncio.run(run())
        self.assertTrue(wait_for(lambda: gone(orphan), 2), "a setsid descendant outlived its stop")
        print("stop to the last descendant gone: %.0f ms" % ((time.monotonic() - asked) * 1000))

    def test_host_ended_or_killed_takes_every_descendant_with_it(self):
        for sig in (signal.SIGTERM, signal.SIGKILL):
            with self.subTest(sig=sig):
                host, port, page_values = start_with_page("qv-plugin-end-")
                escapee, grandchild = self.path("escapee"), self.path("grandchild")
                try:
                    token, installation_id, session_handle, _ = page_values

                    async def run():
                        async with self.page(port, token) as ws:
                            page = Page(ws)
                            await self.start(page, {"escapee": escapee, "grandchild": grandchild, "hang": True},
                                             self.cap_token(installation_id, session_handle))
                            orphan = read_pid(escapee)
                            read_pid(grandchild)
                            # The escapee has left the host's tree where nothing holds it.
                            left = descendants(host.proc.pid) + [(orphan, start_time(orphan))]
                            host.proc.send_signal(sig)
                            return left, time.monotonic()
                    left, sent = asyncio.run(run())
                    self.assertTrue(wait_for(lambda: all(ended(pid, start) for pid, start in left), 3),
                                    "still running: %r" % [pid for pid, start in left if not ended(pid, start)])
                    print("signal %d to the last descendant gone: %.0f ms" % (sig, (time.monotonic() - sent) * 1000))
                    host.proc.wait(timeout=30)
                finally:
                    host.remove()

    def test_program_that_lost_its_execute_bit_is_repaired(self):
        program = os.path.join(self.host.root, "data", "Quorvane", "plugins", PLUGIN, "1.0.0", "bin", "plugin")
        repaired = ("[plugin] package tampered plugin=%s version=1.0.0: bin/plugin mode 0644 instead of 0755; "
                    "repaired from the stored zip" % PLUGIN).encode()

        async def run():
            async with self.page() as ws:
                page = Page(ws)
                staged = await page.request("stagePluginPackage", self.stage)
                self.assertEqual(staged.get("data", {}).get("ok"), True, staged)
                # Refused like a changed byte, and repaired: the next start runs.
                os.chmod(program, 0o644)
                refused = await self.request_start(page, {"hang": True}, stage=False)
                self.assertEqual(refused.get("error"), "package tampered", refused)
                self.assertEqual(self.host.read_log().count(repaired), 1)
                self.assertEqual(os.stat(program).st_mode & 0o7777, 0o755)
                pid = await self.start(page, {"hang": True}, stage=False)
                stopped = await page.request("stopRealtimePlugin", {"pluginId": PLUGIN})
                self.assertEqual(stopped["data"]["ok"], True, stopped)
                self.assertTrue(gone(pid))

                # Staging the same package again repairs it too; the start after it runs at once.
                os.chmod(program, 0o644)
                await self.start(page, {"hang": True})
                self.assertEqual(self.host.read_log().count(repaired), 2)
                stopped = await page.request("stopRealtimePlugin", {"pluginId": PLUGIN})
                self.assertEqual(stopped["data"]["ok"], True, stopped)
        asyncio.run(run())

    def test_host_ended_by_sigterm_leaves_no_child(self):
        host, port, page_values = start_with_page("qv-plugin-term-")
        grandchild = self.path("grandchild")
        try:
            token, installation_id, session_handle, _ = page_values

            async def run():
                async with self.page(port, token) as ws:
                    page = Page(ws)
                    pid = await self.start(page, {"grandchild": grandchild, "hang": True},
                                           self.cap_token(installation_id, session_handle))
                    orphan = read_pid(grandchild)
                    self.assertEqual(host.stop(), 0)
                    return pid, orphan
            pid, orphan = asyncio.run(run())
            self.assertTrue(wait_for(lambda: gone(pid) and gone(orphan), 20))
        finally:
            host.remove()


if __name__ == "__main__":
    unittest.main(verbosity=2)
