"""Plugin connections to the real host's bridge over loopback, with a raw WebSocket client."""
import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

from plugin_client import PluginClient

BUILD = os.environ["QV_BUILD_DIR"]
SIGNER = os.path.join(BUILD, "tools", "qvn_sign", "qvn_sign")


def wait_for(predicate, timeout=20.0):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(0.05)
    return False


class PluginSessionE2E(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="qv-e2e-plugin-")
        exe_dir = os.path.join(cls.root, "bin")
        os.makedirs(exe_dir)
        exe = os.path.join(exe_dir, "quorvane")
        shutil.copy2(os.path.join(BUILD, "quorvane"), exe)
        env = dict(os.environ, HOME=os.path.join(cls.root, "home"),
                   XDG_DATA_HOME=os.path.join(cls.root, "data"), TMPDIR=cls.root)
        env.pop("DISPLAY", None)
        env.pop("WAYLAND_DISPLAY", None)
        cls.log = os.path.join(exe_dir, "Quorvane.log")
        cls.proc = subprocess.Popen([exe], env=env, cwd=cls.root,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        found = {}

        def port_logged():
            m = re.search(rb"\[main\] WsServer listening on 127\.0\.0\.1:(\d+)\n", cls.read_log())
            if m:
                found["port"] = int(m.group(1))
            return bool(m) and b"Running without Windows Package Identity" in cls.read_log()

        if not wait_for(port_logged):
            cls.tearDownClass()
            raise AssertionError(cls.read_log())
        cls.port = found["port"]

    @classmethod
    def tearDownClass(cls):
        if cls.proc.poll() is None:
            cls.proc.send_signal(signal.SIGTERM)
            try:
                cls.proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                cls.proc.kill()
                cls.proc.wait()
        shutil.rmtree(cls.root, ignore_errors=True)

    @classmethod
    def read_log(cls):
        try:
            with open(cls.log, "rb") as f:
                return f.read()
        except FileNotFoundError:
            return b""

    def mint(self, claims):
        out = subprocess.run([SIGNER, "cap", json.dumps(claims)], capture_output=True, text=True, check=True)
        return out.stdout.strip()

    def connect(self):
        client = PluginClient(self.port)
        self.addCleanup(client.close)
        return client

    def test_silent_plugin_is_closed_after_a_second(self):
        client = self.connect()
        self.assertEqual(client.close_frame(), (4401, "E_TOKEN_SIGNATURE"))

    def test_refused_first_messages(self):
        token = self.mint({"sub": "user:u1/plugin:p1", "pkg": "a" * 64, "cap": "realtime",
                           "aud": "qvn-install:none", "scope": ["rt.publish:p1"]})
        cases = [
            ("not json", "{oops", "E_TOKEN_SIGNATURE"),
            ("an array", "[1,2,3]", "E_TOKEN_SIGNATURE"),
            ("type of the wrong type", '{"type":["hello"]}', "E_TOKEN_SIGNATURE"),
            ("message before hello", '{"type":"rt.publish","payload":{"seq":1}}', "E_TOKEN_SIGNATURE"),
            ("role viewer", json.dumps({"type": "hello", "payload": {"role": "viewer", "token": token}}),
             "E_ROLE_DENIED"),
            ("token of the wrong type", json.dumps({"type": "hello", "payload": {"role": "source", "token": 5}}),
             "E_TOKEN_SIGNATURE"),
            ("forged token", json.dumps({"type": "hello", "payload": {"role": "source", "token": token[:-4] + "AAAA"}}),
             "E_TOKEN_SIGNATURE"),
            # This host has armed no package for the plugin.
            ("dev-key token of no armed plugin", json.dumps({"type": "hello", "payload": {"role": "source",
                                                                                          "token": token}}),
             "E_TOKEN_AUDIENCE"),
        ]
        for name, text, code in cases:
            with self.subTest(name):
                client = self.connect()
                client.send_text(text)
                self.assertEqual(client.close_frame(), (4401, code))
        self.assertIn(b"[ws] plugin hello rejected: E_TOKEN_AUDIENCE\n", self.read_log())
        # The host keeps serving after every refusal.
        client = self.connect()
        client.send_text("[]")
        self.assertEqual(client.close_frame(), (4401, "E_TOKEN_SIGNATURE"))


if __name__ == "__main__":
    unittest.main(verbosity=2)
