"""The host's own page as a user meets it, in Debian's chromium driven over its debugging port, with
the host run as an ordinary user: "Open" without a path says so, a video that has played to its
end plays again from the start, the buttons stay where they are whatever the status says, and the
Host section shows where the log is."""
import asyncio
import json
import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from host_harness import (evaluate_in_page, give_to_ordinary_user, ordinary_user_wrapper,  # noqa: E402
                          start_with_page, stop_host)

CHROMIUM = "/usr/lib/chromium/chromium"

# Helpers the expressions below use inside the page.
PAGE_HELPERS = """
  const $ = (id) => document.getElementById(id);
  const pause = (ms) => new Promise((done) => setTimeout(done, ms));
  const until = async (test, ms) => {
    for (let waited = 0; waited < ms; waited += 50) { if (test()) return true; await pause(50); }
    return test();
  };
  const status = () => $('video-status').textContent;
  const rects = () => ['video-path', 'video-open', 'video-play', 'video-pause'].map((id) => {
    const r = $(id).getBoundingClientRect();
    return [id, Math.round(r.left), Math.round(r.top), Math.round(r.width), Math.round(r.height)];
  });
"""


@unittest.skipUnless(os.access(CHROMIUM, os.X_OK), "chromium is not installed")
class VideoPage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        def prepare(host):
            cls.video = os.path.join(host.root, "short.mp4")
            subprocess.run(["ffmpeg", "-nostdin", "-y", "-v", "error", "-f", "lavfi", "-i",
                            "testsrc2=size=160x120:rate=25:duration=1", "-c:v", "libx264", "-pix_fmt", "yuv420p",
                            cls.video], check=True)
            give_to_ordinary_user(host.root)
        cls.host, _, _ = start_with_page("qv-video-page-", prepare=prepare, wrapper=ordinary_user_wrapper())
        cls.debug_port = int(cls.host.env["QVN_WEBVIEW_DEBUG_PORT"])

    @classmethod
    def tearDownClass(cls):
        stop_host(cls.host)

    def run_in_page(self, body):
        """The JSON value an async page function body returns."""
        expression = "(async () => {%s\n%s\n})()" % (PAGE_HELPERS, body)
        return json.loads(asyncio.run(evaluate_in_page(self.debug_port, expression, await_promise=True)))

    def test_open_without_a_path_says_so(self):
        result = self.run_in_page("""
          const said = [];
          for (const typed of ['', '   ']) {
            $('video-status').textContent = '';
            $('video-path').value = typed;
            $('video-open').click();
            await pause(300);
            said.push(status());
          }
          return JSON.stringify({said: said, play: $('video-play').disabled});""")
        for text in result["said"]:
            self.assertIn("path", text, result)
        self.assertTrue(result["play"], result)

    def test_buttons_stay_put_whatever_the_status_says(self):
        missing = os.path.join(self.host.root, "a-rather-long-folder-name", "and-a-file-that-is-not-there.mp4")
        result = self.run_in_page("""
          $('video-status').textContent = '';
          const before = rects();
          $('video-path').value = %s;
          $('video-open').click();
          await until(() => status().indexOf('native player:') === 0, 10000);
          return JSON.stringify({before: before, after: rects(), status: status()});""" % json.dumps(missing))
        self.assertEqual(result["before"], result["after"], result)
        self.assertIn("no such file or folder", result["status"])

    def test_a_video_at_its_end_plays_again_from_the_start(self):
        result = self.run_in_page("""
          $('video-path').value = %s;
          $('video-open').click();
          await until(() => !$('video-play').disabled, 10000);
          const seen = [];
          $('video-play').click();
          const ended = await until(() => /ended/.test(status()), 10000);
          seen.push(status());
          $('video-play').click();
          // Playing again: frame times from the start, then the end once more.
          const again = await until(() => /^0\\.\\d\\d s$/.test(status()), 5000);
          seen.push(status());
          const endedAgain = await until(() => /ended/.test(status()), 10000);
          return JSON.stringify({ended: ended, again: again, endedAgain: endedAgain, seen: seen});""" %
                                  json.dumps(self.video))
        self.assertTrue(result["ended"] and result["again"] and result["endedAgain"], result)

    def test_host_section_shows_the_log(self):
        shown = self.run_in_page("""
          await until(() => $('log-path') && $('log-path').textContent !== '-', 10000);
          return JSON.stringify($('log-path') ? $('log-path').textContent : null);""")
        self.assertEqual(shown, self.host.log)


if __name__ == "__main__":
    unittest.main()
