"""The real executable: start-up, log file, identity files, clean stop on SIGTERM."""
import os
import signal
import subprocess
import time
import unittest

from host_harness import Host, wait_for


class HostProcess(unittest.TestCase):
    def setUp(self):
        self.host = Host()
        self.root, self.exe, self.env = self.host.root, self.host.exe, self.host.env

    def tearDown(self):
        self.host.remove()

    def read_log(self):
        return self.host.read_log()

    def run_until_ready_then(self, sig):
        # The log of an earlier run already holds the ready line: wait for this run's own log.
        before = os.stat(self.host.log).st_mtime_ns if os.path.exists(self.host.log) else None
        proc = subprocess.Popen([self.exe], env=self.env, cwd=self.root,
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        try:
            ready = wait_for(lambda: os.path.exists(self.host.log) and os.stat(self.host.log).st_mtime_ns != before
                             and b"Running without Windows Package Identity" in self.read_log()
                             and os.path.exists(os.path.join(self.root, "data", "Quorvane", "installation-id.bin")))
            self.assertTrue(ready, self.read_log())
            time.sleep(0.3)  # let start-up reach the message loop
            proc.send_signal(sig)
            return proc.wait(timeout=30)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()

    def test_sigterm_and_sigint_stop_cleanly(self):
        for sig in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(sig=sig):
                self.assertEqual(self.run_until_ready_then(sig), 0, self.read_log())

    def test_log_starts_with_bom_and_is_truncated_each_run(self):
        self.run_until_ready_then(signal.SIGTERM)
        first = self.read_log()
        self.assertTrue(first.startswith(b"\xef\xbb\xbf[main] logging to " + self.host.log.encode() + b"\n"), first)
        with open(self.host.log, "ab") as f:
            f.write(b"[test] marker from the first run\n")
        self.run_until_ready_then(signal.SIGTERM)
        second = self.read_log()
        self.assertNotIn(b"marker from the first run", second)
        self.assertEqual(second.count(b"\xef\xbb\xbf"), 1)

    def test_log_falls_back_to_the_data_folder(self):
        # A folder where the log file would be cannot be opened for writing, even by root.
        os.makedirs(self.host.log)
        self.host.log = os.path.join(self.root, "data", "Quorvane", "Quorvane.log")
        self.assertEqual(self.run_until_ready_then(signal.SIGTERM), 0, self.read_log())
        self.assertTrue(self.read_log().startswith(
            b"\xef\xbb\xbf[main] logging to " + self.host.log.encode() + b" (exe directory wasn't writable)\n"),
            self.read_log())

    def test_installation_id_survives_restarts(self):
        self.run_until_ready_then(signal.SIGTERM)
        path = os.path.join(self.root, "data", "Quorvane", "installation-id.bin")
        with open(path, "rb") as f:
            first = f.read()
        self.assertEqual(os.stat(path).st_mode & 0o777, 0o600)
        self.run_until_ready_then(signal.SIGTERM)
        with open(path, "rb") as f:
            self.assertEqual(f.read(), first)


if __name__ == "__main__":
    unittest.main(verbosity=2)
