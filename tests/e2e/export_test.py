"""Video export through the real host: the page's side is Debian's websockets library, sending
"FNVQ" and "ANVQ" binary messages between the start and finish requests, and ffprobe judges the
file that comes out.
"""
import asyncio
import json
import math
import os
import signal
import struct
import subprocess
import unittest

import websockets

from host_harness import APP_ORIGIN, next_reply, start_with_page

def start_host(prefix):
    """A started host and its bridge port and token, read from its own page."""
    host, port, page = start_with_page(prefix)
    return host, port, page[0]


def make_frame(w, h, index):
    """RGBA, constant over 2x2 blocks and smooth, so the encoder keeps it close."""
    row = bytearray()
    rows = []
    for y in range(h):
        row = bytearray()
        for x in range(w):
            row += bytes((((x & ~1) * 255) // w, ((y & ~1) * 255) // h, (index * 4) & 255, 255))
        rows.append(bytes(row))
    return b"".join(rows)


def fnvq(w, h, time_us, pixels):
    return b"FNVQ" + struct.pack("<IId", w, h, time_us) + pixels


def anvq(channels, samples, byte_count=None):
    body = struct.pack("<%df" % len(samples), *samples)
    return b"ANVQ" + struct.pack("<III", 0, channels, len(body) if byte_count is None else byte_count) + body


def sine(frames, channels, rate, start):
    out = []
    for i in range(frames):
        v = 0.5 * math.sin(2 * math.pi * 440.0 * (start + i) / rate)
        out.extend([v] * channels)
    return out


def probe(path):
    out = subprocess.run(["ffprobe", "-v", "error", "-count_frames", "-show_streams", "-show_format",
                          "-of", "json", path], capture_output=True, check=True).stdout
    return json.loads(out)


def stream(info, kind):
    return next((s for s in info["streams"] if s["codec_type"] == kind), None)


class Export(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.host, cls.port, cls.token = start_host("qv-export-")
        cls.out = os.path.join(cls.host.root, "out")
        os.makedirs(cls.out)

    @classmethod
    def tearDownClass(cls):
        code = cls.host.remove()
        assert code == 0, "host exit code %r" % code

    def page(self, port=None, token=None):
        return websockets.connect("ws://127.0.0.1:%d/?token=%s" % (port or self.port, token or self.token),
                                  origin=APP_ORIGIN, max_size=None, open_timeout=10, ping_interval=None)

    async def request(self, ws, id_, type_, payload):
        await ws.send(json.dumps({"id": id_, "type": type_, "payload": payload}))
        return json.loads(await next_reply(ws, 60))

    def test_sixty_frames_with_audio(self):
        w, h, rate, frames = 320, 240, 48000, 60
        path = os.path.join(self.out, "clip.mp4")

        async def run():
            async with self.page() as ws:
                started = await self.request(ws, 1, "startNativeExport", {
                    "outputPath": path, "width": w, "height": h, "bitrate": 2000000,
                    "audioChannels": 2, "audioSampleRate": rate})
                self.assertEqual(started, {"id": 1, "data": {"status": "started", "outputPath": path}})
                sent = 0
                for i in range(frames):
                    await ws.send(fnvq(w, h, i * 1e6 / 30, make_frame(w, h, i)))
                    await ws.send(anvq(2, sine(1600, 2, rate, sent)))
                    sent += 1600
                return await self.request(ws, 2, "finishNativeExport", {})
        done = asyncio.run(run())
        self.assertEqual(done, {"id": 2, "data": {"success": True, "outputPath": path,
                                                  "fileSize": os.path.getsize(path), "frames": frames}})
        self.assertEqual([n for n in os.listdir(self.out) if n.startswith(".clip.mp4")], [])  # no temporary left
        info = probe(path)
        v, a = stream(info, "video"), stream(info, "audio")
        self.assertEqual((v["codec_name"], v["width"], v["height"]), ("h264", w, h))
        self.assertEqual(int(v["nb_read_frames"]), frames)
        num, den = map(float, v["avg_frame_rate"].split("/"))
        self.assertAlmostEqual(num / den, 30.0, delta=0.05)
        self.assertAlmostEqual(float(v["duration"]), frames / 30.0, delta=1 / 30.0)
        self.assertEqual((a["codec_name"], a["sample_rate"], a["channels"]), ("aac", "48000", 2))
        self.assertAlmostEqual(float(a["duration"]), frames * 1600 / rate, delta=0.05)
        # A frame decoded back is the frame that was sent.
        raw = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-vf", r"select=eq(n\,20)", "-frames:v", "1",
                              "-f", "rawvideo", "-pix_fmt", "rgba", "-"], capture_output=True, check=True).stdout
        sent = make_frame(w, h, 20)
        self.assertEqual(len(raw), len(sent))
        diff = sum(abs(raw[i] - sent[i]) for i in range(0, len(sent), 4 * 7)) / len(range(0, len(sent), 4 * 7))
        self.assertLess(diff, 6.0)

    def test_edge_cases(self):
        w, h = 64, 48
        path = os.path.join(self.out, "edges.mp4")

        async def run():
            async with self.page() as ws:
                started = await self.request(ws, 1, "startNativeExport", {
                    "outputPath": path, "width": w, "height": h, "audioChannels": 1})
                self.assertIn("data", started)
                pixels = make_frame(w, h, 0)
                await ws.send(fnvq(w, h, 500000, pixels[:-1]))     # one byte short: ignored
                await ws.send(fnvq(w, h, 1000000, pixels))         # sample time 10,000,000
                await ws.send(fnvq(w + 2, h, 2000000, make_frame(w + 2, h, 0)))  # not the session's size
                await ws.send(fnvq(w, h, float("nan"), pixels))    # no time at all
                await ws.send(anvq(0, sine(480, 1, 48000, 0)))     # channels 0
                await ws.send(anvq(1, sine(2, 1, 48000, 0), byte_count=4294967292))  # huge count, short message
                await ws.send(anvq(2, sine(480, 2, 48000, 0)))     # not the session's channel count
                await ws.send(anvq(1, sine(4800, 1, 48000, 0)))    # the one that counts: 0.1 s
                return await self.request(ws, 2, "finishNativeExport", {})
        done = asyncio.run(run())
        self.assertEqual(done["data"]["frames"], 1, done)
        info = probe(path)
        self.assertEqual(int(stream(info, "video")["nb_read_frames"]), 1)
        self.assertAlmostEqual(float(stream(info, "audio")["duration"]), 0.1, delta=0.03)
        pts = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v", "-show_entries", "packet=pts_time",
                              "-of", "csv=p=0", path], capture_output=True, check=True, text=True).stdout.split()
        self.assertEqual([float(p) for p in pts], [1.0])

    def test_errors(self):
        async def run():
            async with self.page() as ws:
                return [await self.request(ws, 1, "finishNativeExport", {}),
                        await self.request(ws, 2, "startNativeExport",
                                           {"outputPath": os.path.join(self.out, "no", "such", "x.mp4")}),
                        await self.request(ws, 3, "startNativeExport", {}),
                        await self.request(ws, 4, "startNativeExport",
                                           {"outputPath": os.path.join(self.out, "x.mp4"), "audioChannels": 2,
                                            "audioSampleRate": 0})]
        self.assertEqual(asyncio.run(run()), [
            {"id": 1, "error": "export session not started"},
            {"id": 2, "error": "MFCreateSinkWriterFromURL failed: no such file or folder"},
            {"id": 3, "error": "Output path is required"},
            {"id": 4, "error": "audioSampleRate must be positive when audioChannels is set"}])
        self.assertFalse(os.path.exists(os.path.join(self.out, "x.mp4")))


class ExportKilled(unittest.TestCase):
    def test_kill_during_export_leaves_nothing_under_the_target_name(self):
        host, port, token = start_host("qv-export-kill-")
        try:
            target = os.path.join(host.root, "killed.mp4")

            async def run():
                async with websockets.connect("ws://127.0.0.1:%d/?token=%s" % (port, token), origin=APP_ORIGIN,
                                              max_size=None, open_timeout=10, ping_interval=None) as ws:
                    await ws.send(json.dumps({"id": 1, "type": "startNativeExport",
                                              "payload": {"outputPath": target, "width": 64, "height": 48}}))
                    self.assertIn("data", json.loads(await next_reply(ws, 30)))
                    for i in range(30):
                        await ws.send(fnvq(64, 48, i * 33333.0, make_frame(64, 48, i)))
                    # A request after the frames answers once they have all been handled.
                    await ws.send(json.dumps({"id": 2, "type": "getPluginDeveloperMode"}))
                    await next_reply(ws, 30)
                    host.proc.send_signal(signal.SIGKILL)
                    host.proc.wait(timeout=30)
            try:
                asyncio.run(run())
            except websockets.ConnectionClosed:
                pass
            self.assertEqual(host.proc.returncode, -signal.SIGKILL)
            self.assertFalse(os.path.exists(target))
            # The unfinished file is there only under its temporary name.
            leftovers = [n for n in os.listdir(host.root) if n.startswith(".killed.mp4.") and n.endswith(".part")]
            self.assertEqual(len(leftovers), 1, os.listdir(host.root))
        finally:
            host.remove()


if __name__ == "__main__":
    unittest.main()
