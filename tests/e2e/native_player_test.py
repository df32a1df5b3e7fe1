"""Native players on the real host, with the page played by Debian's websockets library.

The fixture video is made here with the ffmpeg command line. The page answers the host's
"readBlobChunk" requests from the file's bytes with "BNVQ" messages, as a page holding the video
would, and counts the "RNVQ" frames it receives.
"""
import asyncio
import json
import os
import socket
import struct
import subprocess
import time
import unittest

import websockets

from host_harness import APP_ORIGIN, Host, evaluate_in_page, wait_for

def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Page:
    """One page connection: replies by id, blob chunks answered, frames recorded."""

    def __init__(self, ws, blobs):
        self.ws = ws
        self.blobs = blobs  # playerID -> bytes
        self.replies = {}
        self.frames = []  # (arrival, playerID, width, height, time, generation, pixel bytes)
        self.chunk_requests = []
        self.stale = []  # (playerID, reqId) answered with junk before each real answer
        self.next_id = 0
        self.reader = asyncio.ensure_future(self.read())

    async def read(self):
        async for message in self.ws:
            if isinstance(message, bytes):
                if message[:4] == b"RNVQ":
                    pid, w, h, t, gen = struct.unpack_from("<iiidI", message, 4)
                    self.frames.append((time.monotonic(), pid, w, h, t, gen, len(message) - 28))
                continue
            text = json.loads(message)
            if text.get("type") == "readBlobChunk":
                self.chunk_requests.append(text)
                for pid, req in self.stale:
                    await self.ws.send(b"BNVQ" + struct.pack("<iI", pid, req) + b"G" * 4096)
                blob = self.blobs.get(text["playerID"], b"")
                chunk = blob[text["offset"]:text["offset"] + text["length"]]
                await self.ws.send(b"BNVQ" + struct.pack("<iI", text["playerID"], text["reqId"]) + chunk)
            elif "id" in text:
                self.replies[text["id"]] = text

    async def request(self, type_, payload, timeout=20):
        self.next_id += 1
        id_ = self.next_id
        await self.ws.send(json.dumps({"id": id_, "type": type_, "payload": payload}))
        end = time.monotonic() + timeout
        while id_ not in self.replies:
            if time.monotonic() > end:
                raise AssertionError("no reply to %s" % type_)
            await asyncio.sleep(0.01)
        return self.replies.pop(id_)

    async def wait_frames(self, predicate, timeout=10):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            found = [f for f in self.frames if predicate(f)]
            if found:
                return found
            await asyncio.sleep(0.01)
        return []

    async def wait_quiet(self, player, quiet=0.5, timeout=15):
        """Waits until no frame of player has arrived for quiet seconds; False when frames still
        came after timeout. A frame the player sent just before it stopped may be slow to arrive
        on a loaded machine, so a fixed pause would not do."""
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            last = max((f[0] for f in self.frames if f[1] == player), default=0.0)
            if time.monotonic() - last >= quiet:
                return True
            await asyncio.sleep(0.05)
        return False

    def count_since(self, start, player):
        return len([f for f in self.frames if f[0] >= start and f[1] == player])


class NativePlayers(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        debug_port = free_port()
        cls.host = Host(prefix="qv-player-", QVN_WEBVIEW_DEBUG_PORT=str(debug_port))
        cls.video = os.path.join(cls.host.root, "video.mp4")
        subprocess.run(["ffmpeg", "-nostdin", "-y", "-v", "error", "-f", "lavfi", "-i",
                        "testsrc2=size=320x240:rate=25:duration=16", "-c:v", "libx264", "-pix_fmt", "yuv420p",
                        "-g", "25", cls.video], check=True)
        with open(cls.video, "rb") as f:
            cls.video_bytes = f.read()
        cls.host.start()
        try:
            ok = wait_for(lambda: b"[webview console][log] bridge hello answered" in cls.host.read_log())
            assert ok, cls.host.read_log().decode(errors="replace")
            cls.port = cls.host.bridge_port()
            cls.token = asyncio.run(evaluate_in_page(debug_port, "window.__QVN_NATIVE_WS_TOKEN__"))
        except BaseException:
            cls.host.remove()
            raise

    @classmethod
    def tearDownClass(cls):
        code = cls.host.remove()
        assert code == 0, "host exit code %r" % code

    def run_page(self, body, blobs=None):
        async def run():
            async with websockets.connect("ws://127.0.0.1:%d/?token=%s" % (self.port, self.token),
                                          origin=APP_ORIGIN, max_size=None, open_timeout=10,
                                          ping_interval=None) as ws:
                page = Page(ws, blobs or {})
                try:
                    await body(page)
                finally:
                    page.reader.cancel()
        asyncio.run(run())

    def test_path_player_plays_pauses_seeks_changes_rate_and_size(self):
        async def body(page):
            reply = await page.request("createNativePlayer", {"playerID": 21, "path": self.video})
            self.assertEqual(reply["data"]["success"], True, reply)
            self.assertEqual((reply["data"]["videoWidth"], reply["data"]["videoHeight"]), (320, 240))
            self.assertAlmostEqual(reply["data"]["duration"], 16.0, delta=0.1)
            first = await page.wait_frames(lambda f: f[1] == 21)
            self.assertEqual(first[0][2:6], (320, 240, 0.0, 0))
            self.assertEqual(first[0][6], 320 * 240 * 4)

            # Frames are paced by the player's clock: a 25 fps video never comes faster than 25
            # frames a second. How many fewer a loaded machine delivers is no fault, so the rate
            # itself is read from the player's clock, which runs whatever the decoder keeps up with.
            start = time.monotonic()
            await page.request("playerPlay", {"playerID": 21})
            await asyncio.sleep(2.0)
            at_one = page.count_since(start, 21)
            clock_one = (await page.request("playerGetTime", {"playerID": 21}))["data"]["time"]
            self.assertTrue(1 <= at_one <= 60, at_one)

            paused = await page.request("playerPause", {"playerID": 21})
            self.assertEqual(paused["data"]["success"], True)
            self.assertTrue(await page.wait_quiet(21))
            quiet = time.monotonic()
            await asyncio.sleep(0.6)
            self.assertEqual(page.count_since(quiet, 21), 0)
            # Nothing beyond the position it paused at was sent (a frame lasts 0.04 s).
            self.assertLessEqual(max(f[4] for f in page.frames if f[1] == 21), paused["data"]["time"] + 0.01)

            seek = await page.request("playerSeek", {"playerID": 21, "timeSec": 3.0})
            self.assertEqual(seek["data"]["time"], 3.0)
            seeked = await page.wait_frames(lambda f: f[1] == 21 and f[5] == 1)
            self.assertAlmostEqual(seeked[0][4], 3.0, places=3)

            # The same two seconds at rate 2 move the clock twice as far (from the seek's 3.0 s).
            await page.request("playerSetRate", {"playerID": 21, "rate": 2})
            start = time.monotonic()
            await page.request("playerPlay", {"playerID": 21})
            await asyncio.sleep(2.0)
            at_two = page.count_since(start, 21)
            clock_two = (await page.request("playerGetTime", {"playerID": 21}))["data"]["time"] - 3.0
            self.assertTrue(1 <= at_two <= 110, at_two)
            self.assertGreater(clock_two, clock_one * 1.5, (clock_one, clock_two))

            await page.request("playerSetSize", {"playerID": 21, "width": 160, "height": 120})
            small = await page.wait_frames(lambda f: f[1] == 21 and f[2] == 160)
            self.assertEqual(small[0][3], 120)
            self.assertEqual(small[0][6], 160 * 120 * 4)

            gone = await page.request("destroyNativePlayer", {"playerID": 21})
            self.assertEqual(gone["data"], {"success": True})
            self.assertTrue(await page.wait_quiet(21))  # closed on a worker after the answer
            quiet = time.monotonic()
            await asyncio.sleep(0.5)
            self.assertEqual(page.count_since(quiet, 21), 0)
            missing = await page.request("playerGetTime", {"playerID": 21})
            self.assertEqual(missing["error"], "player not found")
        self.run_page(body)

    def test_blob_player_and_replacement(self):
        async def body(page):
            reply = await page.request("createNativePlayer", {"playerID": 22, "path": "qvn-blob://video",
                                                              "fileSize": len(self.video_bytes)})
            self.assertEqual(reply["data"]["videoWidth"], 320, reply)
            self.assertTrue(page.chunk_requests)
            self.assertEqual((page.chunk_requests[0]["offset"], page.chunk_requests[0]["length"]),
                             (0, min(524288, len(self.video_bytes))))
            for r in page.chunk_requests:
                self.assertEqual(r["playerID"], 22)
                self.assertLessEqual(r["offset"] + r["length"], len(self.video_bytes))
            await page.request("playerPlay", {"playerID": 22})
            frames = await page.wait_frames(lambda f: f[1] == 22 and f[4] >= 1.0)
            self.assertTrue(frames)

            # The same id again (a path this time) replaces the blob player, which is closed before
            # the answer: afterwards every frame is the new player's.
            asked = time.monotonic()
            again = await page.request("createNativePlayer", {"playerID": 22, "path": self.video,
                                                              "width": 160, "height": 120})
            self.assertEqual(again["data"]["success"], True)
            replaced = time.monotonic()
            fresh = await page.wait_frames(lambda f: f[0] >= asked and f[1] == 22 and f[2] == 160)
            self.assertEqual(fresh[0][2:6], (160, 120, 0.0, 0))
            await asyncio.sleep(0.5)
            self.assertTrue(all(f[2] == 160 for f in page.frames if f[0] >= replaced))
            state = await page.request("playerGetTime", {"playerID": 22})
            self.assertEqual(state["data"]["paused"], True)

            # A blob player again under the same id, while the page also sends late answers for
            # every request of the first one: they must not be taken for the new player's bytes.
            page.stale = [(22, r["reqId"]) for r in page.chunk_requests]
            third = await page.request("createNativePlayer", {"playerID": 22, "path": "qvn-blob://video",
                                                              "fileSize": len(self.video_bytes)})
            self.assertEqual(third["data"]["videoWidth"], 320, third)
            page.stale = []

            bad = await page.request("createNativePlayer", {"playerID": 23, "path": "qvn-blob://x"})
            self.assertEqual(bad["error"], "native player: invalid file size for blob source")
            await page.request("destroyNativePlayer", {"playerID": 22})
        self.run_page(body, blobs={22: self.video_bytes})


class PageCanvas(unittest.TestCase):
    """The page's own "Local video" box: a path typed in plays onto its canvas."""

    def test_local_video_plays_onto_the_canvas(self):
        debug_port = free_port()
        host = Host(prefix="qv-canvas-", QVN_WEBVIEW_DEBUG_PORT=str(debug_port))
        try:
            video = os.path.join(host.root, "clip.mp4")
            subprocess.run(["ffmpeg", "-nostdin", "-y", "-v", "error", "-f", "lavfi", "-i",
                            "testsrc2=size=320x240:rate=25:duration=5", "-c:v", "libx264", "-pix_fmt", "yuv420p",
                            video], check=True)
            host.start()
            ok = wait_for(lambda: b"[webview console][log] bridge hello answered" in host.read_log())
            assert ok, host.read_log().decode(errors="replace")
            expression = """(async () => {
              const $ = (id) => document.getElementById(id);
              const pause = (ms) => new Promise((done) => setTimeout(done, ms));
              $('video-path').value = %s;
              $('video-open').click();
              for (let i = 0; i < 200 && $('video-play').disabled; i++) await pause(50);
              $('video-play').click();
              await pause(1500);
              const c = $('video-canvas');
              const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
              let lit = 0;
              for (let i = 0; i < d.length; i += 4) if (d[i] + d[i + 1] + d[i + 2] > 0) lit++;
              return JSON.stringify({status: $('video-status').textContent, width: c.width,
                                     height: c.height, lit: lit});
            })()""" % json.dumps(video)
            result = json.loads(asyncio.run(evaluate_in_page(debug_port, expression, await_promise=True)))
            self.assertEqual((result["width"], result["height"]), (480, 360), result)
            self.assertGreater(result["lit"], 480 * 360 // 2, result)
            self.assertRegex(result["status"], r"^\d+\.\d\d s$")  # a frame time, not an error
        finally:
            code = host.remove()
        self.assertEqual(code, 0)


if __name__ == "__main__":
    unittest.main()
