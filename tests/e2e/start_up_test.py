"""What a person meets when a start cannot go on: a second start while the host runs, a display
that does not answer, a home that cannot be written. Each one ends at once with a message that
names the cause, and leaves the running host (if any) as it was."""
import json
import os
import subprocess
import unittest
import urllib.request

from host_harness import Host, free_port, wait_for


def page_targets(debug_port):
    """The ids and URLs of the browser's page windows and tabs."""
    with urllib.request.urlopen("http://127.0.0.1:%d/json/list" % debug_port, timeout=10) as r:
        return sorted((t["id"], t["url"]) for t in json.load(r) if t["type"] == "page")


def mount_namespaces_unavailable():
    probe = subprocess.run(["unshare", "-rm", "mount", "-t", "tmpfs", "tmpfs", "/mnt"], capture_output=True)
    if probe.returncode != 0:
        return "mount namespaces are not allowed here: " + probe.stderr.decode(errors="replace").strip()
    return None


class SecondStart(unittest.TestCase):
    def test_a_second_start_leaves_the_first_alone_and_says_so(self):
        debug_port = free_port()
        host = Host(prefix="qv-second-", QVN_WEBVIEW_DEBUG_PORT=str(debug_port))
        self.addCleanup(host.remove)
        host.start()
        host.bridge_port()
        app_page = "https://app.quorvane.invalid/index.html"

        def app_page_shown():
            try:
                return any(url == app_page for _, url in page_targets(debug_port))
            except OSError:  # the browser's debugging port is not up yet
                return False

        self.assertTrue(wait_for(app_page_shown), host.read_log())
        # Windows are compared by id: a page's URL reads "" for a moment while it (re)loads.
        before = [target_id for target_id, _ in page_targets(debug_port)]
        log_before = host.read_log()

        second = subprocess.run([host.exe], env=host.env, cwd=host.root, capture_output=True, timeout=60)

        self.assertNotEqual(second.returncode, 0, second.stderr)
        self.assertIn(b"Quorvane is already running with the data folder " +
                      os.path.join(host.root, "data", "Quorvane").encode(), second.stderr)
        self.assertIn(b"Its window was brought to the front.", second.stderr)
        self.assertEqual(second.stdout, b"")
        self.assertIsNone(host.proc.poll())
        # The first was asked for its window; its log only grew, its windows are the same.
        self.assertTrue(wait_for(lambda: b"[main] a second start asked for the main window\n" in host.read_log()),
                        host.read_log())
        log_after = host.read_log()
        self.assertTrue(log_after.startswith(log_before), log_after)
        self.assertEqual(log_after.count(b"[main] logging to "), 1)
        self.assertEqual([target_id for target_id, _ in page_targets(debug_port)], before)
        self.assertTrue(wait_for(app_page_shown), host.read_log())
        self.assertEqual(host.stop(), 0, host.read_log())


class FailedStart(unittest.TestCase):
    def run_host(self, host, wrapper=()):
        proc = subprocess.run(list(wrapper) + [host.exe], env=host.env, cwd=host.root,
                              capture_output=True, timeout=60)
        return proc.returncode, proc.stderr.decode(errors="replace")

    def test_an_unreachable_display_is_named(self):
        self.assertFalse(os.path.exists("/tmp/.X11-unix/X199"))
        host = Host(prefix="qv-display-")
        self.addCleanup(host.remove)
        host.env["DISPLAY"] = ":199"
        code, stderr = self.run_host(host)
        self.assertEqual(code, 1, stderr)
        self.assertIn("cannot open display :199", stderr)

    def test_a_home_that_cannot_be_written_is_named_with_its_cause(self):
        reason = mount_namespaces_unavailable()
        if reason:
            self.skipTest(reason)
        # (how the home is mounted in the host's own mount namespace, what the message must name)
        cases = [
            ("mount -t tmpfs -o ro tmpfs \"$HOME\"",
             "cannot create its data folder {home}/.local/share/Quorvane ({home}/.local: Read-only file system)"),
            # A small tmpfs filled to the last block: folders can still be made, files not written.
            ("mount -t tmpfs -o size=64k tmpfs \"$HOME\" && (cat /dev/zero > \"$HOME/fill\" 2>/dev/null; true)",
             "cannot write to its data folder {home}/.local/share/Quorvane "
             "({home}/.local/share/Quorvane/instance.lock: No space left on device)"),
        ]
        for mount, message in cases:
            with self.subTest(mount=mount):
                host = Host(prefix="qv-home-")
                self.addCleanup(host.remove)
                home = host.env["HOME"]
                os.makedirs(home)
                del host.env["XDG_DATA_HOME"]  # the data folder is then the one in the home
                wrapper = ["unshare", "-rm", "sh", "-c", mount + " && exec \"$0\""]
                code, stderr = self.run_host(host, wrapper)
                self.assertEqual(code, 1, stderr)
                self.assertIn(message.format(home=home), stderr)
                self.assertEqual(host.read_log(), b"")  # stopped before anything was started


if __name__ == "__main__":
    unittest.main(verbosity=2)
