"""The media tools through the real host, with the page played by Debian's websockets library:
probe figures judged by ffprobe, the PCM of a sine fixture by its zero crossings. The fixtures
are made here with the ffmpeg command line.
"""
import base64
import json
import os
import struct
import subprocess
import unittest

from host_harness import page_requests, start_with_page


def zero_crossing_frequency(pcm, channels, rate):
    samples = struct.unpack("<%dh" % (len(pcm) // 2), pcm)[::channels]
    crossings = sum(1 for a, b in zip(samples, samples[1:]) if (a < 0) != (b < 0))
    return crossings / 2.0 / (len(samples) / rate)


class MediaTools(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.host, cls.port, values = start_with_page("qv-tools-")
        cls.token = values[0]
        cls.video = os.path.join(cls.host.root, "clip.mp4")
        subprocess.run(["ffmpeg", "-nostdin", "-y", "-v", "error", "-f", "lavfi", "-i",
                        "testsrc2=size=320x240:rate=25:duration=4", "-f", "lavfi", "-i",
                        "sine=frequency=500:sample_rate=44100:duration=4", "-ac", "2", "-c:v", "libx264",
                        "-pix_fmt", "yuv420p", "-c:a", "aac", "-shortest", cls.video], check=True)

    @classmethod
    def tearDownClass(cls):
        code = cls.host.remove()
        assert code == 0, "host exit code %r" % code

    def ask(self, requests):
        """Sends each (type, payload) and returns the replies in the same order."""
        return page_requests(self.port, self.token, requests)

    def test_probe_frame_and_audio_of_a_file(self):
        probe, frame, audio = self.ask([
            ("probeVideoMetadata", {"filePath": self.video}),
            ("decodeFrameNative", {"filePath": self.video, "timestampSec": 2.01}),
            ("extractAudioNative", {"filePath": self.video, "startTimeSec": 1, "endTimeSec": 3}),
        ])
        judged = json.loads(subprocess.run(["ffprobe", "-v", "error", "-show_streams", "-show_format", "-of",
                                            "json", self.video], capture_output=True, check=True).stdout)
        video = next(s for s in judged["streams"] if s["codec_type"] == "video")
        num, den = video["r_frame_rate"].split("/")
        data = probe["data"]
        self.assertEqual((data["width"], data["height"]), (video["width"], video["height"]))
        self.assertAlmostEqual(data["fps"], int(num) / int(den), places=9)
        self.assertAlmostEqual(data["durationSec"], float(judged["format"]["duration"]), places=6)
        self.assertIs(data["hasAudio"], True)
        self.assertTrue(data["nativeEngine"].startswith("FFmpeg "), data)

        self.assertEqual(frame, {"id": 1, "data": {"width": 320, "height": 240, "timestampSec": 2.01,
                                                   "format": "NV12"}})

        data = audio["data"]
        pcm = base64.b64decode(data["pcmBase64"], validate=True)
        self.assertEqual(data["byteLength"], len(pcm))
        self.assertEqual((data["sampleRate"], data["channels"]), (44100, 2))
        frames = len(pcm) // 4
        self.assertTrue(2 * 44100 <= frames <= 2 * 44100 + 2 * 1024, frames)  # whole frames cover the range
        self.assertAlmostEqual(zero_crossing_frequency(pcm, 2, 44100), 500, delta=5)

    def test_errors(self):
        silent = os.path.join(self.host.root, "silent.mp4")
        subprocess.run(["ffmpeg", "-nostdin", "-y", "-v", "error", "-f", "lavfi", "-i",
                        "testsrc2=size=64x48:rate=10:duration=1", "-c:v", "libx264", "-pix_fmt", "yuv420p", silent],
                       check=True)
        missing = os.path.join(self.host.root, "missing.mp4")
        cases = [
            ("probeVideoMetadata", {}, "Invalid parameters"),
            ("decodeFrameNative", {"filePath": ""}, "Invalid parameters"),
            ("extractAudioNative", {"filePath": self.video, "endTimeSec": "2"}, "invalid parameter type: endTimeSec"),
            ("probeVideoMetadata", {"filePath": missing}, "failed to open source: no such file or folder"),
            ("decodeFrameNative", {"filePath": self.host.root, "timestampSec": 0}, "failed to open source: is a folder"),
            ("decodeFrameNative", {"filePath": self.video, "timestampSec": 60}, "frame decoding produced no output"),
            ("extractAudioNative", {"filePath": silent, "endTimeSec": 1}, "no audio stream"),
            ("extractAudioNative", {"filePath": self.video, "startTimeSec": 2, "endTimeSec": 2},
             "endTimeSec must be greater than startTimeSec"),
            ("extractAudioNative", {"filePath": "qvn-blob://a", "endTimeSec": 1},
             "extractAudioNative does not support qvn-blob:// sources (no playerID in this RPC to address a blob "
             "provider) -- pass a real filesystem path"),
        ]
        replies = self.ask([(t, p) for t, p, _ in cases])
        for n, (type_, payload, error) in enumerate(cases):
            self.assertEqual(replies[n], {"id": n, "error": error}, (type_, payload))
        # Past the end of the audio: success with nothing in it.
        past, = self.ask([("extractAudioNative", {"filePath": self.video, "startTimeSec": 50, "endTimeSec": 60})])
        self.assertEqual(past["data"], {"pcmBase64": "", "byteLength": 0, "sampleRate": 44100, "channels": 2})


class WithoutTheMediaModule(unittest.TestCase):
    """The FFmpeg side is a module loaded on first use: a host without it starts and serves its
    page, and a media request says what is missing."""

    def test_the_host_runs_and_media_requests_say_why_they_fail(self):
        def remove_modules(host):
            for name in os.listdir(host.exe_dir):
                if name.endswith(".so"):
                    os.remove(os.path.join(host.exe_dir, name))
        host, port, values = start_with_page("qv-nomedia-", prepare=remove_modules)
        try:
            probe, = page_requests(port, values[0], [("probeVideoMetadata", {"filePath": "/nonexistent.mp4"})])
            self.assertTrue(probe["error"].startswith("failed to open source: media engine unavailable: "), probe)
            self.assertIn("libqv_media_ffmpeg.so", probe["error"])
        finally:
            self.assertEqual(host.remove(), 0)


if __name__ == "__main__":
    unittest.main()
