"""The whole host killed with SIGKILL while its update check finalises a new web pack: after every
kill the update store holds either the old pack or the new one, each with the meta.json that
describes it, and the next start serves that pack."""
import asyncio
import json
import os
import random
import signal
import time
import unittest

from host_harness import Host, evaluate_in_page, free_port, wait_for
from ota_harness import UpdateServer, make_pack, sha256_file

KILL_ROUNDS = 6


class KilledFinalise(unittest.TestCase):
    def setUp(self):
        self.server = UpdateServer()
        self.addCleanup(self.server.stop)
        self.host = Host(prefix="qv-ota-kill-", **self.server.host_env())
        self.addCleanup(self.host.remove)
        self.ota = os.path.join(self.host.env["XDG_DATA_HOME"], "Quorvane", "ota")
        self.active = os.path.join(self.ota, "active")
        # Big enough that hashing and moving take a while; incompressible, so the pack stays big.
        self.filler = random.Random(7).randbytes(8 << 20)
        self.packs = {}  # version -> (kind, sha256, heading)

    def offer(self, version, kind):
        path = os.path.join(self.server.root, version + ".pack")
        heading = "Quorvane %s (%s)" % (version, kind)
        sha = make_pack(path, heading, full=kind == "full", filler=self.filler)
        self.packs[version] = (kind, sha, heading)
        self.server.offer(path, sha, version, kind)
        return os.path.getsize(path)

    def browser_gone(self):
        marker = self.host.root.encode()
        for entry in os.listdir("/proc"):
            if entry.isdigit() and int(entry) != os.getpid():
                try:
                    with open("/proc/%s/cmdline" % entry, "rb") as f:
                        if marker in f.read():
                            return False
                except OSError:
                    pass
        return True

    def run_check(self, size, kill_after=None):
        """Starts the host and follows its check; with kill_after (seconds), SIGKILLs it that long
        after the download has been logged complete. Returns the seconds from that line to the
        finalise's end as seen in the log (None when it was not seen)."""
        self.assertTrue(wait_for(self.browser_gone), "the previous browser is still running")
        self.host.start()
        done = ("[ota-native] HTTP complete bytes=%d\n" % size).encode()
        end = time.monotonic() + 120
        while done not in self.host.read_log():
            self.assertIsNone(self.host.proc.poll(), self.host.read_log().decode(errors="replace"))
            self.assertLess(time.monotonic(), end, self.host.read_log().decode(errors="replace"))
            time.sleep(0.001)
        seen = time.monotonic()
        if kill_after is not None:
            while time.monotonic() < seen + kill_after:
                pass
            self.assertEqual(self.host.stop(signal.SIGKILL), -signal.SIGKILL)
            return None
        self.assertTrue(wait_for(lambda: b"[ota] Finalize OK" in self.host.read_log(), 60),
                        self.host.read_log().decode(errors="replace"))
        span = time.monotonic() - seen
        self.host.stop()
        return span

    def active_version(self):
        """The version the store holds, after checking that its one pack matches its meta.json."""
        with open(os.path.join(self.active, "meta.json")) as f:
            meta = json.load(f)
        self.assertIn(meta["version"], self.packs)
        kind, sha, _ = self.packs[meta["version"]]
        self.assertEqual(meta, {"kind": kind, "sha256": sha, "version": meta["version"]})
        name = "web.pack" if kind == "full" else "ota.pack"
        self.assertEqual(sorted(os.listdir(self.active)), ["meta.json", name])
        self.assertEqual(sha256_file(os.path.join(self.active, name)), sha)
        return meta["version"]

    def test_kill_during_finalise_leaves_old_or_new_pack_with_its_meta(self):
        # A first update that runs to its end gives the old pack, and how long a finalise takes.
        span = self.run_check(self.offer("10.0", "full"))
        self.assertEqual(self.active_version(), "10.0")

        rng = random.Random(19)
        outcomes = []
        current = "10.0"
        for i in range(1, KILL_ROUNDS + 1):
            version = "10.%d" % i
            kind = "overlay" if i % 2 else "full"
            # From the end of the download to well past the finalise (a later one also clears what the
            # killed ones left, so it takes longer), spread over the rounds.
            delay = span * 2.5 * (i - 1) / (KILL_ROUNDS - 1) * rng.uniform(0.8, 1.2)
            self.run_check(self.offer(version, kind), kill_after=delay)
            got = self.active_version()
            self.assertIn(got, (current, version), "round %d" % i)
            outcomes.append("new" if got == version else "old")
            current = got
        print("finalise took %.1f ms; kills left: %s" % (span * 1000, " ".join(outcomes)))

        # The next start serves what the store holds.
        debug_port = free_port()
        self.host.env["QVN_WEBVIEW_DEBUG_PORT"] = str(debug_port)
        self.server.route({"/api/v1/win/manifest": {"body": json.dumps({"version": current})}})
        self.assertTrue(wait_for(self.browser_gone))
        self.host.start()
        self.assertTrue(wait_for(lambda: b"[ota-native] up to date" in self.host.read_log()),
                        self.host.read_log().decode(errors="replace"))

        def heading():
            try:
                return asyncio.run(evaluate_in_page(debug_port, "document.querySelector('h1').textContent"))
            except Exception:
                return None
        self.assertTrue(wait_for(lambda: heading() == self.packs[current][2]),
                        (heading(), self.host.read_log().decode(errors="replace")))
        self.host.stop()
        # A finalise that runs to its end clears what the killed ones left.
        self.run_check(self.offer("11.0", "full"))
        self.assertEqual(self.active_version(), "11.0")
        self.assertEqual(sorted(os.listdir(self.ota)), ["active"])


if __name__ == "__main__":
    unittest.main()
