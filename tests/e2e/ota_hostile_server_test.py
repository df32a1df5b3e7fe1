"""The whole host's update check against a broken or hostile update server of the test's own: a
download whose hash matches but that is no pack is refused and the next start installs a good
pack of that version; a huge manifest answer costs the host little memory; a pack that drips in
is ended by the request deadline. The log, which names the installation id, is the user's alone."""
import asyncio
import json
import os
import stat
import unittest

from host_harness import Host, evaluate_in_page, free_port, wait_for
from ota_harness import UpdateServer, make_pack, sha256_file

NEW_HEADING = "Quorvane 9.0, the good pack"


def resident_peak_mib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    raise AssertionError("no VmHWM for %d" % pid)


class HostileUpdateServer(unittest.TestCase):
    def setUp(self):
        self.server = UpdateServer()
        self.addCleanup(self.server.stop)

    def host(self, **extra):
        host = Host(prefix="qv-ota-hostile-", QVN_WEBVIEW_DEBUG_PORT=str(free_port()), **self.server.host_env(),
                    **extra)
        self.addCleanup(host.remove)
        return host

    def wait_log(self, host, *lines, timeout=90):
        """Waits for any of lines in the host's log; the text of the log."""
        found = wait_for(lambda: any(line.encode() in host.read_log() for line in lines) or host.proc.poll() is not None,
                         timeout)
        text = host.read_log().decode(errors="replace")
        self.assertTrue(found and any(line in text for line in lines), text)
        return text

    def store(self, host):
        return os.path.join(host.env["XDG_DATA_HOME"], "Quorvane", "ota")

    def test_hash_matching_non_pack_is_refused_and_the_next_check_installs_a_good_one(self):
        junk = os.path.join(self.server.root, "junk.pack")
        with open(junk, "wb") as f:
            f.write(b"<html>an error page, not a pack</html>" * 50)
        self.server.offer(junk, sha256_file(junk), "9.0", "full")
        host = self.host()
        # An earlier run's log, readable by everyone: this run makes it the user's alone.
        with open(host.log, "w") as f:
            f.write("old run\n")
        os.chmod(host.log, 0o644)
        host.start()
        text = self.wait_log(host, "[ota-native] finalize failed: ", "[ota-native] applied")
        self.assertIn("[ota] Finalize FAILED: staged file is not a usable full pack\n", text)
        self.assertIn("[ota-native] finalize failed: staged file is not a usable full pack\n", text)
        self.assertNotIn("[ota-native] applied", text)
        self.assertFalse(os.path.exists(os.path.join(self.store(host), "active")))
        self.assertEqual([n for n in os.listdir(self.store(host)) if n.startswith(("download-", "finalizing-"))], [])
        self.assertIn("installId=", text)
        self.assertEqual(stat.S_IMODE(os.stat(host.log).st_mode), 0o600)
        self.assertEqual(host.stop(), 0)

        good = os.path.join(self.server.root, "good.pack")
        sha = make_pack(good, NEW_HEADING)
        self.server.offer(good, sha, "9.0", "full")
        os.remove(host.log)  # so the wait below reads this run's log only
        host.start()
        text = self.wait_log(host, "[ota-native] applied", "[ota-native] up to date", "[ota-native] finalize failed")
        self.assertIn("[ota] Finalize OK: version=9.0 kind=full sha256=%s\n" % sha, text)
        with open(os.path.join(self.store(host), "active", "meta.json")) as f:
            self.assertEqual(json.load(f), {"kind": "full", "sha256": sha, "version": "9.0"})
        port = int(host.env["QVN_WEBVIEW_DEBUG_PORT"])

        def heading():
            try:
                return asyncio.run(evaluate_in_page(port, "document.querySelector('h1').textContent"))
            except Exception:
                return None
        self.assertTrue(wait_for(lambda: heading() == NEW_HEADING, 60), host.read_log().decode(errors="replace"))

    def test_huge_json_answers_cost_little_memory(self):
        pack = os.path.join(self.server.root, "offered.pack")
        self.server.offer(pack, "0" * 64, "9.0", "full")
        with open(self.server.routes) as f:
            offered = json.load(f)
        # Either JSON answer, 600 MiB made as it is sent, so the server holds none of it.
        for step, path in (("manifest", "/api/v1/win/manifest"), ("descriptor", "/api/v1/win/download")):
            with self.subTest(step):
                self.server.route(dict(offered, **{path: {"bodyBytes": 600 << 20}}))
                host = self.host()
                host.start()
                text = self.wait_log(host, "[ota-native] %s failed: " % step, "[ota-native] exception: ", timeout=180)
                self.assertIsNone(host.proc.poll())
                peak = resident_peak_mib(host.proc.pid)
                print("host resident peak with a huge %s: %.0f MiB" % (step, peak))
                self.assertLess(peak, 300)
                self.assertIn("[ota-native] %s failed: response too large\n" % step, text)
                self.assertEqual(host.stop(), 0)

    def test_dripping_pack_is_ended_by_the_deadline(self):
        pack = os.path.join(self.server.root, "offered.pack")
        sha = make_pack(pack, NEW_HEADING)
        self.server.offer(pack, sha, "9.0", "full")
        with open(self.server.routes) as f:
            routes = json.load(f)
        # Two bytes a second: the low-speed limit never trips, only the deadline ends it.
        routes["/api/v1/win/packs/offered.qvnpack"] = {"bodyBytes": os.path.getsize(pack), "drip": [2, 1.0]}
        self.server.route(routes)
        host = self.host(QVN_UPDATE_TEST_DEADLINE="3")
        host.start()
        text = self.wait_log(host, "[ota-native] bundle failed: ", "[ota-native] applied", timeout=60)
        self.assertIn("[ota-native] test update deadline 3 s\n", text)
        self.assertIn("[ota-native] bundle failed: Timeout was reached (curl 28)\n", text)
        self.assertFalse(os.path.exists(os.path.join(self.store(host), "active")))
        self.assertEqual([n for n in os.listdir(self.store(host)) if n.startswith("download-")], [])
        self.assertIsNone(host.proc.poll())


if __name__ == "__main__":
    unittest.main()
