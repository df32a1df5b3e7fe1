"""A new web asset pack reaches the running page without a restart: the host's start-up update
check, pointed at a local HTTPS server that the host trusts only through its test setting,
downloads a newer pack, finalises it and reloads the page, whose text then changes while the
host process and its browser stay the same."""
import asyncio
import json
import os
import re
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from host_harness import evaluate_in_page, start_with_page, wait_for  # noqa: E402
from ota_harness import UpdateServer, make_pack  # noqa: E402

NEW_HEADING = "Quorvane 9.0 from the update server"


def page_value(host, expression):
    """The expression's value in the app page, or None while the page is between documents."""
    try:
        return asyncio.run(evaluate_in_page(int(host.env["QVN_WEBVIEW_DEBUG_PORT"]), expression))
    except Exception:
        return None


class OtaReload(unittest.TestCase):
    def setUp(self):
        self.server = UpdateServer()
        self.addCleanup(self.server.stop)
        self.pack = os.path.join(self.server.root, "v9.pack")
        self.sha = make_pack(self.pack, NEW_HEADING)
        # The manifest waits for the gate, so the test sees the built-in page first.
        self.gate = os.path.join(self.server.root, "release-manifest")
        self.server.offer(self.pack, self.sha.upper(), "9.0", "full", gate=self.gate)

    def test_new_pack_reaches_the_running_page(self):
        host, _, _ = start_with_page("qv-ota-reload-", **self.server.host_env())
        self.addCleanup(host.remove)
        log = lambda: host.read_log().decode(errors="replace")  # noqa: E731
        self.assertEqual(page_value(host, "document.querySelector('h1').textContent"), "Quorvane")
        # A mark on the first document: gone once the page has really been reloaded.
        page_value(host, "window.__otaTestMark = 1")
        setting = ("[ota-native] test update server %s (added CA: %s)\n" % (self.server.url, self.server.ca)).encode()
        self.assertTrue(wait_for(lambda: setting in host.read_log()), log())

        open(self.gate, "w").close()
        self.assertTrue(wait_for(lambda: b"[ota-native] applied; requesting native WebView reload\n" in host.read_log()
                                 or b"[ota-native] finalize failed" in host.read_log(), 60), log())
        self.assertTrue(wait_for(lambda: page_value(host, "document.querySelector('h1').textContent") == NEW_HEADING,
                                 60), log())
        self.assertIsNone(page_value(host, "window.__otaTestMark === undefined ? null : 1"))
        # The reloaded page says hello again over the bridge of the same process.
        self.assertTrue(wait_for(lambda: host.read_log().count(b"[webview console][log] bridge hello answered") >= 2),
                        log())
        self.assertIsNone(host.proc.poll())

        text = log()
        self.assertIn("[ota] Finalize OK: version=9.0 kind=full sha256=%s\n" % self.sha, text)
        self.assertIn("[webview] native OTA Navigate() hr=0x00000000\n", text)
        self.assertEqual(text.count("[main] WsServer listening on"), 1)
        self.assertRegex(text, re.escape("[ota-native] HTTP GET %s/api/v1/win/packs/offered.qvnpack\n" % self.server.url))
        paths = [(r["path"], r["authorization"], r["userAgent"]) for r in self.server.requests()]
        self.assertEqual(paths, [("/api/v1/win/manifest", None, "Quorvane/OTA"),
                                 ("/api/v1/win/download", None, "Quorvane/OTA"),
                                 ("/api/v1/win/packs/offered.qvnpack", "Bearer e2e-token", "Quorvane/OTA")])
        active = os.path.join(host.env["XDG_DATA_HOME"], "Quorvane", "ota", "active")
        with open(os.path.join(active, "meta.json")) as f:
            self.assertEqual(json.load(f), {"kind": "full", "sha256": self.sha, "version": "9.0"})
        self.assertEqual(sorted(os.listdir(active)), ["meta.json", "web.pack"])


if __name__ == "__main__":
    unittest.main()
