"""The real executable: start-up, log file, identity files, clean stop on SIGTERM, its browser
ended with it when it is killed."""
import contextlib
import os
import signal
import subprocess
import time
import unittest

from host_harness import Host, descendants, ended, start_time, wait_for


def _naming(folder):
    """Living processes whose command line names folder."""
    found = []
    for name in os.listdir("/proc"):
        if not name.isdigit() or int(name) == os.getpid():
            continue
        try:
            with open("/proc/%s/cmdline" % name, "rb") as f:
                cmdline = f.read()
            with open("/proc/%s/stat" % name) as f:
                state = f.read().rsplit(")", 1)[1].split()[0]
        except OSError:
            continue
        if folder.encode() in cmdline and state != "Z":
            found.append(int(name))
    return found


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
        # The bridge's listening line comes after the host took over SIGTERM and SIGINT (a signal
        # before that would end it with the default action), and the installation id file of an
        # earlier run says nothing about this one, so the line is what is waited for.
        before = os.stat(self.host.log).st_mtime_ns if os.path.exists(self.host.log) else None
        proc = subprocess.Popen([self.exe], env=self.env, cwd=self.root,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            ready = wait_for(lambda: os.path.exists(self.host.log) and os.stat(self.host.log).st_mtime_ns != before
                             and b"Running without Windows Package Identity" in self.read_log()
                             and b"[main] WsServer listening on" in self.read_log()
                             and os.path.exists(os.path.join(self.root, "data", "Quorvane", "installation-id.bin")))
            self.assertTrue(ready, self.read_log())
            time.sleep(0.3)  # let start-up reach the message loop
            proc.send_signal(sig)
            return proc.wait(timeout=30)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()

    def test_a_host_killed_during_start_up_takes_its_browser_with_it(self):
        # Killed while the browser starts: nothing the host started may outlive it by more than
        # a moment, also what started after the last look (named by the host's folder it was
        # given). A browser that has not reached its pipe yet does not notice the host is gone.
        for delay in (0.3, 0.5):
            with self.subTest(delay=delay):
                proc = subprocess.Popen([self.exe], env=self.env, cwd=self.root,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                try:
                    time.sleep(delay)
                    left = descendants(proc.pid)
                    proc.kill()
                    killed = time.monotonic()
                    proc.wait(timeout=30)
                    self.assertTrue(wait_for(lambda: all(ended(pid, start) for pid, start in left)
                                             and not _naming(self.root), 2),
                                    "outlived the host: %r" % (_naming(self.root) or left))
                    print("host killed %.1f s into start-up with %d processes, all gone after %.0f ms"
                          % (delay, len(left), (time.monotonic() - killed) * 1000))
                finally:
                    if proc.poll() is None:
                        proc.kill()
                        proc.wait()
                    for pid in _naming(self.root):
                        os.kill(pid, signal.SIGKILL)
                    wait_for(lambda: not _naming(self.root), 10)

    def test_a_browser_that_ignores_its_pipe_ends_with_the_killed_host(self):
        # A browser still starting up has not read its pipe, so it cannot notice the host's end
        # by itself: this one never does, and it has a helper in a session of its own.
        pids = os.path.join(self.root, "browser-pids")
        standin = os.path.join(self.root, "browser")
        with open(standin, "w") as f:
            f.write('#!/bin/sh\nsetsid sleep 60 >/dev/null 2>&1 &\necho "$$ $!" > "%s.tmp"\n'
                    'mv "%s.tmp" "%s"\nexec sleep 60\n' % (pids, pids, pids))
        os.chmod(standin, 0o755)
        env = dict(self.env, QVN_BROWSER_EXECUTABLE=standin)
        proc = subprocess.Popen([self.exe], env=env, cwd=self.root,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        started = []
        try:
            self.assertTrue(wait_for(lambda: os.path.exists(pids), 20), self.read_log())
            with open(pids) as f:
                started = [int(p) for p in f.read().split()]
            left = [(pid, start_time(pid)) for pid in started]
            self.assertTrue(all(start for _, start in left))
            proc.kill()
            killed = time.monotonic()
            proc.wait(timeout=30)
            self.assertTrue(wait_for(lambda: all(ended(pid, start) for pid, start in left), 1),
                            "outlived the host: %r" % [pid for pid, start in left if not ended(pid, start)])
            print("stand-in browser and helper gone %.0f ms after the host's SIGKILL"
                  % ((time.monotonic() - killed) * 1000))
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
            for pid in started:
                with contextlib.suppress(ProcessLookupError):
                    os.kill(pid, signal.SIGKILL)

    def test_start_up_maps_neither_the_media_nor_the_http_stack(self):
        # Both are modules loaded by their first use (a player, probe or export; the update check
        # after the page's first load). A browser that never answers keeps the page from loading,
        # so nothing here uses either.
        standin = os.path.join(self.root, "browser")
        with open(standin, "w") as f:
            f.write("#!/bin/sh\nexec sleep 60\n")
        os.chmod(standin, 0o755)
        env = dict(self.env, QVN_BROWSER_EXECUTABLE=standin)
        proc = subprocess.Popen([self.exe], env=env, cwd=self.root,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            self.assertTrue(wait_for(lambda: b"[main] WsServer listening on" in self.read_log()), self.read_log())
            with open("/proc/%d/maps" % proc.pid) as f:
                mapped = {line.split()[-1].rsplit("/", 1)[-1] for line in f if "/" in line}
            self.assertTrue(any(name.startswith("libcrypto.so") for name in mapped), mapped)
            for stack in ("libqv_media_ffmpeg", "libavformat", "libavcodec", "libqv_http_curl", "libcurl",
                          "libgnutls"):
                self.assertFalse([name for name in mapped if name.startswith(stack)], stack)
        finally:
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
        # It names the installation id: the user's alone, also after a run that left it readable.
        self.assertEqual(os.stat(self.host.log).st_mode & 0o777, 0o600)
        with open(self.host.log, "ab") as f:
            f.write(b"[test] marker from the first run\n")
        os.chmod(self.host.log, 0o644)
        self.run_until_ready_then(signal.SIGTERM)
        self.assertEqual(os.stat(self.host.log).st_mode & 0o777, 0o600)
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

    def browser_process(self, proc):
        """The command line and environment of the browser the host started, once it runs."""
        found = []

        def browser():
            for pid, _ in descendants(proc.pid):
                try:
                    with open("/proc/%d/cmdline" % pid, "rb") as f:
                        argv = f.read().split(b"\0")
                    if b"--remote-debugging-pipe" not in argv:
                        continue
                    with open("/proc/%d/environ" % pid, "rb") as f:
                        found.append((argv, f.read().split(b"\0")))
                    return True
                except (FileNotFoundError, ProcessLookupError):
                    continue
            return False

        self.assertTrue(wait_for(browser), self.read_log())
        return found[0]

    def test_the_browser_arguments_stay_out_of_the_environment(self):
        # The host hands the browser its switches directly; what children inherit is the
        # environment the user started it with, a value of the user's own included.
        name = b"WEBVIEW2_ADDITIONAL_BROWSER_ARGUMENTS"
        for user_value in (None, b"--user-choice"):
            with self.subTest(user_value=user_value):
                env = dict(self.env)
                env.pop(name.decode(), None)
                if user_value is not None:
                    env[name.decode()] = user_value.decode()
                proc = subprocess.Popen([self.exe], env=env, cwd=self.root,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                try:
                    argv, environment = self.browser_process(proc)
                    features = [a for a in argv if a.startswith(b"--disable-features=")]
                    self.assertTrue(any(a.endswith(b"OverlayScrollbar,msOverlayScrollbarWinStyle")
                                        for a in features), argv)
                    entries = [e for e in environment if e.startswith(name + b"=")]
                    self.assertEqual(entries, [] if user_value is None else [name + b"=" + user_value])
                finally:
                    proc.send_signal(signal.SIGTERM)
                    self.assertEqual(proc.wait(timeout=30), 0, self.read_log())


if __name__ == "__main__":
    unittest.main(verbosity=2)
