"""Plugin connections to the real host's bridge over loopback, with a raw WebSocket client."""
import json
import subprocess
import unittest

from host_harness import SIGNER, Host
from plugin_client import PluginClient


class PluginSessionE2E(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.host = Host(prefix="qv-e2e-plugin-")
        cls.host.start()
        try:
            cls.port = cls.host.bridge_port()
        except BaseException:
            cls.host.remove()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.host.remove()

    @classmethod
    def read_log(cls):
        return cls.host.read_log()

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
