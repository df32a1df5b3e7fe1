"""Telemetry decodes on the real host, with python3-websockets in the page's place.

Our test decoders are packaged and signed here with the tools command and staged by the page: a
JSON decoder (answers a summary of its request) and a converter under the bmsapi converter id (its
settings choose the pack, its progress lines and its faults). A BMS2API SDK folder in the host's
data folder is what discovery finds for the converter. The page reads packs back in 2 MiB ranges
("readNativePluginPack", each text reply followed by its "KNVQ" frame) and answers the host's
"readBlobChunk" requests with "BNVQ" frames from the blobs it holds; the ways a page can fail
that exchange (a short chunk, no answer, a second read, a reconnect, a cancel) are played here.
"""
import asyncio
import itertools
import json
import os
import shutil
import struct
import subprocess
import tempfile
import time
import unittest

import websockets

from host_harness import APP_ORIGIN, BUILD, SIGNER, gone, start_with_page, stop_host, wait_for

JSON_DECODER = "com.test.jsondecoder"
CONVERTER = "com.qvn.decoder.bmsapi"
PROGRAMS = {JSON_DECODER: os.path.join(BUILD, "tests", "plugins", "qvn_test_json_decoder"),
            CONVERTER: os.path.join(BUILD, "tests", "plugins", "qvn_test_converter")}
RANGE = 2 * 1024 * 1024
CHUNK = 1024 * 1024
MISMATCH = "input stream length mismatch or timeout"
REQUEST_IDS = itertools.count(1)  # unique across page connections: a reply may reach a later one


def sign(*args):
    return subprocess.run([SIGNER, *args], capture_output=True, text=True, check=True).stdout.strip()


def make_package(folder, plugin_id):
    os.makedirs(os.path.join(folder, "bin"))
    shutil.copy2(PROGRAMS[plugin_id], os.path.join(folder, "bin", "decoder"))
    manifest = {"id": plugin_id, "name": "Test decoder", "version": "1.0.0", "minAppVersion": "0.0.0",
                "runtime": "native", "entry": "bin/decoder", "sandbox": "process", "extensions": [],
                "capabilities": ["decode"], "platforms": ["linux"],
                "launch": {"linux": {"decode": {"executable": "bin/decoder", "transport": "stdio"}}}}
    with open(os.path.join(folder, "plugin.json"), "w") as f:
        json.dump(manifest, f)
    return json.loads(sign("package", folder))


class Blob:
    """Bytes the page holds and how it answers the host's chunk requests for them:
    "answer", "short" (one byte less than asked), "silent" (never), "reconnect" (closes the
    connection at the second request) or "cancel" (cancels its decode at the second request)."""

    def __init__(self, data, mode="answer"):
        self.data = data
        self.mode = mode


class Page:
    """One page connection: replies by id, other texts as events, "KNVQ" frames, and the order in
    which replies and frames arrived; chunk requests are answered from the blobs."""

    def __init__(self, ws, blobs):
        self.ws = ws
        self.blobs = blobs
        self.replies = {}
        self.events = []
        self.frames = {}  # requestId -> frame bytes
        self.arrivals = []  # ("reply", id) and ("frame", requestId) in arrival order
        self.chunk_requests = []
        self.changed = asyncio.Event()
        self.reader = asyncio.ensure_future(self.read())

    async def read(self):
        try:
            async for message in self.ws:
                if isinstance(message, bytes):
                    if message[:4] == b"KNVQ":
                        request_id = struct.unpack_from("<I", message, 4)[0]
                        self.frames[request_id] = message
                        self.arrivals.append(("frame", request_id))
                else:
                    text = json.loads(message)
                    if text.get("type") == "readBlobChunk":
                        await self.answer_chunk(text)
                    elif "id" in text and "type" not in text:
                        self.replies[text["id"]] = text
                        self.arrivals.append(("reply", text["id"]))
                    else:
                        self.events.append(text)
                self.changed.set()
        except websockets.ConnectionClosed:
            pass
        self.changed.set()

    async def answer_chunk(self, text):
        self.chunk_requests.append(text)
        blob = self.blobs[text["blobId"]]
        if blob.mode == "silent":
            return
        if blob.mode == "reconnect" and text["reqId"] == 2:
            await self.ws.close()
            return
        if blob.mode == "cancel" and text["reqId"] == 2:
            await self.send("cancelNativePluginDecode", {"decodeId": text["decodeId"]})
            return
        chunk = blob.data[text["offset"]:text["offset"] + text["length"]]
        if blob.mode == "short":
            chunk = chunk[:-1]
        await self.ws.send(b"BNVQ" + struct.pack("<II", text["playerID"], text["reqId"]) + chunk)

    async def send(self, type_, payload):
        id_ = next(REQUEST_IDS)
        await self.ws.send(json.dumps({"id": id_, "type": type_, "payload": payload}))
        return id_

    async def until(self, predicate, timeout):
        end = time.monotonic() + timeout
        while not predicate():
            left = end - time.monotonic()
            assert left > 0, "timed out; events %r, chunk requests %r" % (self.events[-3:], self.chunk_requests[-3:])
            self.changed.clear()
            try:
                await asyncio.wait_for(self.changed.wait(), left)
            except asyncio.TimeoutError:
                pass

    async def reply(self, id_, timeout=30):
        await self.until(lambda: id_ in self.replies, timeout)
        return self.replies[id_]

    async def request(self, type_, payload, timeout=30):
        return await self.reply(await self.send(type_, payload), timeout)

    async def read_range(self, pack_id, offset, length, request_id):
        """One range: the text reply, then its frame right after it."""
        reply = await self.request("readNativePluginPack", {"packId": pack_id, "offset": offset,
                                                            "length": length, "requestId": request_id})
        if "error" in reply:
            return reply, None
        await self.until(lambda: request_id in self.frames, 30)
        at = self.arrivals.index(("reply", reply["id"]))
        assert self.arrivals[at + 1] == ("frame", request_id), self.arrivals[at:at + 3]
        return reply, self.frames.pop(request_id)


class DecodeE2E(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp(prefix="qv-decode-")
        cls.stages = {pid: make_package(os.path.join(cls.scratch, pid), pid) for pid in PROGRAMS}
        cls.host, cls.port, page = start_with_page("qv-decode-")
        cls.token, cls.installation_id, cls.session_handle, _ = page
        # What discovery finds in the host's data folder for the bmsapi kind.
        cls.sdk = os.path.join(cls.host.env["XDG_DATA_HOME"], "BMSAPI")
        os.makedirs(cls.sdk)
        for name in ("BMS2API.dll", "WinDarab.DSP.dll", "zlib64.dll"):
            open(os.path.join(cls.sdk, name), "w").close()
        with open(os.path.join(cls.sdk, "version.txt"), "w") as f:
            f.write("7.1\n")

    @classmethod
    def tearDownClass(cls):
        stop_host(cls.host, cls.scratch)

    def pack_folders(self):
        return sorted(n for n in os.listdir(self.host.root) if n.startswith("qvn-native-pack-"))

    def run_pages(self, body, blobs=None):
        """Runs body(open_page) where open_page() connects a page that has staged both decoders
        and armed a decode token for each; every page is closed at the end."""
        pages = []

        async def open_page():
            ws = await websockets.connect("ws://127.0.0.1:%d/?token=%s" % (self.port, self.token),
                                          origin=APP_ORIGIN, max_size=None, open_timeout=10, ping_interval=None)
            page = Page(ws, blobs or {})
            pages.append(page)
            revocations = await page.request("applyRpcRevocations", json.loads(sign("revocations", '{"rev": 1}')))
            self.assertEqual(revocations["data"], {"ok": True}, revocations)
            audience = "qvn-install:%s/%s" % (self.installation_id, self.session_handle)
            for pid, stage in self.stages.items():
                staged = await page.request("stagePluginPackage", stage)
                self.assertEqual(staged.get("data", {}).get("ok"), True, staged)
                token = sign("cap", json.dumps({"sub": "user:u1/plugin:" + pid, "pkg": stage["packageSha256"],
                                                "cap": "decode", "aud": audience, "scope": ["decode.job:" + pid]}))
                armed = await page.request("armPluginRpc", {"pluginId": pid, "packageSha256": stage["packageSha256"],
                                                            "token": token})
                self.assertEqual(armed["data"], {"ok": True, "pluginId": pid}, armed)
            return page

        async def run():
            try:
                await body(open_page)
            finally:
                for page in pages:
                    await page.ws.close()
                    page.reader.cancel()
        asyncio.run(run())

    def payload(self, plugin_id, settings=None, **extra):
        payload = {"pluginId": plugin_id, "packageSha256": self.stages[plugin_id]["packageSha256"],
                   "launch": {"executable": "bin/decoder", "transport": "stdio"},
                   "pluginSettings": settings or {}, "fileName": "lap.bmsbin"}
        payload.update(extra)
        return payload

    def decode(self, page, payload, timeout=60):
        return page.request("decodeTelemetryPlugin", payload, timeout)

    async def read_pack(self, page, result):
        """The whole pack read back in 2 MiB ranges, request ids counting from 1."""
        data = bytearray()
        for n, offset in enumerate(range(0, result["size"], RANGE)):
            length = min(RANGE, result["size"] - offset)
            reply, frame = await page.read_range(result["packId"], offset, length, n + 1)
            self.assertEqual(reply["data"], {"offset": offset, "length": length, "requestId": n + 1})
            self.assertEqual(frame[:16], b"KNVQ" + struct.pack("<III", n + 1, length, 0))
            data += frame[16:]
        return bytes(data)

    def test_json_decode_answers_its_document(self):
        async def body(open_page):
            page = await open_page()
            for key, value, flag in (("b64", "MTIzNDU=", "hasB64"), ("path", "/nowhere/lap.bmsbin", "hasPath")):
                reply = await self.decode(page, self.payload(JSON_DECODER, **{key: value}))
                self.assertEqual(reply["data"]["ok"], True, reply)
                self.assertEqual(reply["data"]["provenance"], "verified")
                self.assertEqual((reply["data"]["libraryId"], reply["data"]["version"]), (self.sdk, "7.1"))
                result = reply["data"]["result"]
                self.assertEqual((result["op"], result["fileName"], result[flag], result["library"]),
                                 ("decode", "lap.bmsbin", True, self.sdk))
            # The JSON road reports no progress.
            self.assertEqual([e for e in page.events if e.get("type") == "plugin.decodeProgress"], [])
        self.run_pages(body)

    def test_converter_decode_from_a_path_is_read_back_in_ranges(self):
        source = os.path.join(self.scratch, "lap-source.bin")
        data = os.urandom(5 * 1024 * 1024 + 1000)
        with open(source, "wb") as f:
            f.write(data)
        lines = [{"phase": "decode", "ratio": 0.25, "lap": 3}, {"phase": "decode", "ratio": 0.5},
                 {"phase": "write", "ratio": 1}]

        async def body(open_page):
            page = await open_page()
            reply = await self.decode(page, self.payload(CONVERTER, {"echo": True, "progress": lines},
                                                         path=source, decodeId="from-path"))
            self.assertEqual(reply["data"]["ok"], True, reply)
            self.assertEqual((reply["data"]["libraryId"], reply["data"]["version"]), (self.sdk, "7.1"))
            result = reply["data"]["result"]
            self.assertEqual((result["format"], result["size"]), ("qvn-pack-v1", 8 + len(data)))
            folder = os.path.join(self.host.root, "qvn-native-pack-" + result["packId"])
            # The pack's folder is the user's alone, like the pack in it.
            self.assertEqual(os.stat(folder).st_mode & 0o777, 0o700)
            self.assertEqual(os.stat(os.path.join(folder, "session.pack.bin")).st_mode & 0o777, 0o600)
            with open(os.path.join(folder, "session.pack.bin"), "rb") as f:
                on_disk = f.read()
            self.assertEqual(on_disk, b"QVNPAK01" + data)

            # Progress arrived before the reply, as the converter's ratios (a path is not rescaled).
            progress = [e for e in page.events if e.get("type") == "plugin.decodeProgress"]
            self.assertEqual([e["phase"] for e in progress], ["decode", "decode", "write"])
            for event, ratio in zip(progress, (0.25, 0.5, 0.99)):
                self.assertAlmostEqual(event["ratio"], ratio)
            self.assertEqual({(e["pluginId"], e["fileName"], e["decodeId"]) for e in progress},
                             {(CONVERTER, "lap.bmsbin", "from-path")})
            self.assertEqual(progress[0]["lap"], 3)

            self.assertEqual(await self.read_pack(page, result), on_disk)
            # The last byte alone, an empty read at the end; past the end is refused.
            _, frame = await page.read_range(result["packId"], len(on_disk) - 1, 1, 77)
            self.assertEqual(frame[16:], on_disk[-1:])
            _, frame = await page.read_range(result["packId"], len(on_disk), 0, 78)
            self.assertEqual(frame, b"KNVQ" + struct.pack("<III", 78, 0, 0))
            for offset, length, request_id in ((len(on_disk), 1, 79), (0, RANGE + 1, 80), (0, 1, 0), (0.5, 1, 81)):
                rejected, _ = await page.read_range(result["packId"], offset, length, request_id)
                self.assertEqual(rejected.get("error"), "native pack range rejected", (offset, length, request_id))

            touched = await page.request("touchNativePluginPack", {"packId": result["packId"]})
            self.assertEqual(touched["data"], {"ok": True})
            closed = await page.request("closeNativePluginPack", {"packId": result["packId"]})
            self.assertEqual(closed["data"], {"ok": True})
            self.assertFalse(os.path.exists(folder))
            again, _ = await page.read_range(result["packId"], 0, 1, 82)
            self.assertEqual(again.get("error"), "native pack is closed or expired")
            self.assertEqual(page.frames, {})  # no refused read sent a frame
        self.run_pages(body)

    def test_page_held_input_is_spooled_byte_for_byte(self):
        data = os.urandom(3 * CHUNK)
        blobs = {"lap-blob": Blob(data)}

        async def body(open_page):
            page = await open_page()
            payload = self.payload(CONVERTER, {"echo": True, "progress": [{"phase": "decode", "ratio": 0.5}]},
                                   decodeId="from-blob", inputBlob={"size": len(data), "blobId": "lap-blob"})
            reply = await self.decode(page, payload)
            self.assertEqual(reply["data"]["ok"], True, reply)
            result = reply["data"]["result"]
            # One chunk at a time, 1 MiB each, on a stream id of the decode-input range.
            requests = page.chunk_requests
            self.assertEqual([(r["offset"], r["length"], r["reqId"]) for r in requests],
                             [(0, CHUNK, 1), (CHUNK, CHUNK, 2), (2 * CHUNK, CHUNK, 3)])
            self.assertEqual({(r["playerID"] >= 0x80000000, r["blobId"], r["decodeId"]) for r in requests},
                             {(True, "lap-blob", "from-blob")})
            self.assertEqual(len({r["playerID"] for r in requests}), 1)
            # The converter echoed its stdin into the pack: the spool held exactly the blob.
            self.assertEqual(await self.read_pack(page, result), b"QVNPAK01" + data)
            # The transfer fills 0 to 0.3, the conversion 0.3 to 1.
            ratios = [(e["phase"], e["ratio"]) for e in page.events if e.get("type") == "plugin.decodeProgress"]
            self.assertEqual(ratios[0], ("transfer", 0))
            self.assertEqual([phase for phase, _ in ratios[-2:]], ["transfer", "decode"])
            self.assertAlmostEqual(ratios[-2][1], 0.3)
            self.assertAlmostEqual(ratios[-1][1], 0.65)
            await page.request("closeNativePluginPack", {"packId": result["packId"]})
        self.run_pages(body, blobs)

    def test_failed_transfers_leave_nothing_behind(self):
        data = os.urandom(3 * CHUNK + 5)
        blobs = {"short": Blob(data, "short"), "silent": Blob(data, "silent"), "reread": Blob(data),
                 "cancel": Blob(data, "cancel"), "reconnect": Blob(data, "reconnect")}

        def payload(blob_id):
            return self.payload(CONVERTER, decodeId="d-" + blob_id, inputBlob={"size": len(data), "blobId": blob_id})

        async def body(open_page):
            page = await open_page()
            before = self.pack_folders()
            cases = (("short", MISMATCH), ("cancel", "decoder cancelled"), ("silent", MISMATCH))
            for blob_id, error in cases:
                reply = await self.decode(page, payload(blob_id))
                self.assertEqual(reply["data"], {"ok": False, "fallback": True, "error": error}, blob_id)
                self.assertEqual(self.pack_folders(), before, blob_id)
            # Each failure ended its read at the chunk that failed.
            self.assertEqual([r["blobId"] for r in page.chunk_requests],
                             ["short", "cancel", "cancel", "silent"])

            # A blob is read once per page connection.
            first = await self.decode(page, payload("reread"))
            self.assertEqual(first["data"]["ok"], True, first)
            second = await self.decode(page, payload("reread"))
            self.assertEqual(second["data"]["error"], "input blob already consumed")

            # The page goes away at the second chunk: the decode ends cancelled and removes its
            # pack folder. Its answer has no page to go to (one connecting later may or may not
            # be there in time), so the host's log tells how it ended.
            ended = b"[plugin] launch rejected: decoder cancelled\n"
            seen = self.host.read_log().count(ended)
            kept = before + ["qvn-native-pack-" + first["data"]["result"]["packId"]]
            await page.send("decodeTelemetryPlugin", payload("reconnect"))
            await page.until(lambda: page.reader.done(), 30)
            self.assertEqual(len([r for r in page.chunk_requests if r["blobId"] == "reconnect"]), 2)
            self.assertTrue(wait_for(lambda: self.host.read_log().count(ended) > seen and self.pack_folders() == kept,
                                     30), self.pack_folders())
            page = await open_page()
            # A new connection may read the blobs of the last one again.
            blobs["reconnect"].mode = "answer"
            for blob_id in ("reread", "reconnect"):
                again = await self.decode(page, payload(blob_id))
                self.assertEqual(again["data"]["ok"], True, (blob_id, again))
                await page.request("closeNativePluginPack", {"packId": again["data"]["result"]["packId"]})
            await page.request("closeNativePluginPack", {"packId": first["data"]["result"]["packId"]})
            self.assertEqual(self.pack_folders(), before)
        self.run_pages(body, blobs)

    def test_cancels_before_and_during_the_run(self):
        async def body(open_page):
            page = await open_page()
            before = self.pack_folders()
            # Early: the cancel comes first and is applied when the decode registers.
            cancelled = await page.request("cancelNativePluginDecode", {"decodeId": "early"})
            self.assertEqual(cancelled["data"], {"ok": True})
            id_ = await page.send("decodeTelemetryPlugin", self.payload(CONVERTER, {"hang": True}, b64="MTIz",
                                                                        decodeId="early"))
            try:
                reply = await page.reply(id_, 30)
            finally:
                await page.send("cancelNativePluginDecode", {"decodeId": "early"})  # never leave it hanging
            self.assertEqual(reply["data"], {"ok": False, "fallback": True, "error": "decoder cancelled"})

            # During: the converter has reported progress and hangs until cancelled.
            settings = {"hang": True, "progress": [{"phase": "decode", "ratio": 0.1}]}
            id_ = await page.send("decodeTelemetryPlugin", self.payload(CONVERTER, settings, b64="MTIz",
                                                                        decodeId="running"))
            await page.until(lambda: any(e.get("decodeId") == "running" for e in page.events), 30)
            self.assertNotIn(id_, page.replies)
            await page.request("cancelNativePluginDecode", {"decodeId": "running"})
            reply = await page.reply(id_, 30)
            self.assertEqual(reply["data"], {"ok": False, "fallback": True, "error": "decoder cancelled"})
            self.assertEqual(self.pack_folders(), before)
        self.run_pages(body)

    def test_a_decoder_leaves_nothing_running(self):
        # Each decoder leaves a descendant in a session of its own, as a daemon would; the
        # decode's end is its run's end.
        async def body(open_page):
            page = await open_page()
            for plugin_id in (JSON_DECODER, CONVERTER):
                with self.subTest(plugin_id=plugin_id):
                    escapee = os.path.join(self.scratch, "escapee-%d" % time.monotonic_ns())
                    reply = await self.decode(page, self.payload(plugin_id, {"escapee": escapee}, b64="MTIz",
                                                                 decodeId="escapee-" + plugin_id))
                    self.assertEqual(reply["data"]["ok"], True, reply)
                    self.assertTrue(wait_for(lambda: os.path.exists(escapee), 10))
                    with open(escapee) as f:
                        pid = int(f.read())
                    self.assertTrue(wait_for(lambda: gone(pid), 2), "%s left %d running" % (plugin_id, pid))
                    if plugin_id == CONVERTER:
                        await page.request("closeNativePluginPack", {"packId": reply["data"]["result"]["packId"]})
        self.run_pages(body)

    def test_a_converter_ended_by_a_signal_reports_128_plus_the_signal(self):
        async def body(open_page):
            page = await open_page()
            for sig in (9, 15):
                reply = await self.decode(page, self.payload(CONVERTER, {"signal": sig}, b64="MTIz",
                                                             decodeId="signal-%d" % sig))
                self.assertEqual(reply["data"], {"ok": False, "fallback": True,
                                                 "error": "Native converter exited %d" % (128 + sig)})
        self.run_pages(body)

    def test_developer_mode_refusals(self):
        cases = (({"entryFiles": {"a.py": ""}}, "caller-supplied plugin code requires plugin developer mode"),
                 ({"entryName": None}, "caller-supplied plugin code requires plugin developer mode"),
                 ({"extraDir": "/tmp/sdk"}, "extraDir requires plugin developer mode"))

        async def body(open_page):
            page = await open_page()
            for pid in PROGRAMS:
                for extra, message in cases:
                    reply = await self.decode(page, self.payload(pid, b64="MTIz", decodeId="dev", **extra))
                    self.assertEqual(reply["data"], {"ok": False, "fallback": True, "error": message,
                                                     "code": "E_DEVELOPER_MODE_REQUIRED"}, (pid, extra))
            # An empty extraDir is no request for one.
            reply = await self.decode(page, self.payload(JSON_DECODER, b64="MTIz", extraDir=""))
            self.assertEqual(reply["data"]["ok"], True, reply)
        self.run_pages(body)


if __name__ == "__main__":
    unittest.main(verbosity=2)
