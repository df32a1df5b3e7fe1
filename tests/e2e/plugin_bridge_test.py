"""Plugin sessions behind the real listener, in a process of their own, driven over loopback."""
import base64
import json
import os
import subprocess
import time
import unittest

from plugin_client import PluginClient

BUILD = os.environ["QV_BUILD_DIR"]
SIGNER = os.path.join(BUILD, "tools", "qvn_sign", "qvn_sign")
SERVER = os.path.join(BUILD, "tests", "bridge", "qvn_plugin_bridge")
AUDIENCE = "qvn-install:0123456789abcdef0123456789abcdef/fedcba9876543210fedcba9876543210"
PKG = "c" * 64


def sign(kind, value):
    out = subprocess.run([SIGNER, kind, json.dumps(value)], capture_output=True, text=True, check=True)
    return out.stdout.strip()


def mint(plugin="p1", **extra):
    claims = {"sub": "user:u1/plugin:" + plugin, "pkg": PKG, "cap": "realtime", "aud": AUDIENCE,
              "scope": ["rt.publish:" + plugin]}
    claims.update(extra)
    return sign("cap", claims)


def jti_of(token):
    segment = token.split(".")[1]
    return json.loads(base64.urlsafe_b64decode(segment + "=" * (-len(segment) % 4)))["jti"]


def hello(token, role="source"):
    return json.dumps({"type": "hello", "payload": {"role": role, "token": token}})


class PluginBridge(unittest.TestCase):
    def setUp(self):
        self.server = subprocess.Popen([SERVER], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.addCleanup(self.stop)
        line = self.server.stdout.readline()
        self.assertTrue(line.startswith("port "), line)
        self.port = int(line.split()[1])
        self.assertEqual(self.command("revocations " + sign("revocations", {"rev": 1})), "revocations ")
        for plugin in ("p1", "p2"):
            self.assertEqual(self.command("arm %s %s %s" % (plugin, PKG, mint(plugin))), "arm ")

    def stop(self):
        if self.server.poll() is None:
            self.server.stdin.write("quit\n")
            self.server.stdin.flush()
            try:
                self.server.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.server.kill()
                self.server.wait()
        self.server.stdin.close()
        self.server.stdout.close()

    def command(self, line):
        self.server.stdin.write(line + "\n")
        self.server.stdin.flush()
        return self.server.stdout.readline().rstrip("\n")

    def connect(self):
        client = PluginClient(self.port)
        self.addCleanup(client.close)
        return client

    def helloed(self, token):
        client = self.connect()
        client.send_text(hello(token))
        self.assertEqual(client.text(), json.dumps(
            {"payload": {"protocol": 2, "role": "source", "scopes": ["rt.publish:p1"]}, "type": "hello-ok"},
            separators=(",", ":")))
        return client

    def test_session_serves_errors_and_keeps_the_connection(self):
        token = mint()
        client = self.helloed(token)
        cases = [
            ({"type": "rt.publish", "payload": {"seq": 1, "frame": {"channels": []}}}, "E_SCOPE_DENIED"),
            ({"type": "no.such.method"}, "E_SCOPE_DENIED"),
            ({"type": "plugin.job.next"}, "E_ROLE_DENIED"),
            ({"type": "hello", "payload": {"role": "source", "token": token}}, "E_SCOPE_DENIED"),
        ]
        for message, code in cases:
            client.send_json(message)
            self.assertEqual(json.loads(client.text()), {"code": code, "type": "error"})
        # Past the 5 s receive time-out the re-check passes and the session stays.
        time.sleep(5.5)
        client.send_json({"type": "no.such.method"})
        self.assertEqual(json.loads(client.text())["code"], "E_SCOPE_DENIED")

    def test_replay_is_closed(self):
        token = mint()
        self.helloed(token)
        again = self.connect()
        again.send_text(hello(token))
        self.assertEqual(again.close_frame(), (4401, "E_TOKEN_REPLAY"))

    def test_renew_then_revocation_closes_the_idle_session(self):
        first = mint()
        client = self.helloed(first)
        renewed = mint(renewOf=jti_of(first), scope=["rt.publish:p1", "rt.publish:p1/speed"])
        client.send_json({"type": "renew", "payload": {"token": renewed}})
        self.assertEqual(json.loads(client.text()),
                         {"payload": {"scopes": ["rt.publish:p1", "rt.publish:p1/speed"]}, "type": "renew-ok"})
        # The idle re-check at the next 5 s receive time-out closes it.
        self.assertEqual(self.command("revocations " + sign("revocations", {"rev": 2, "jtis": [jti_of(renewed)]})),
                         "revocations ")
        self.assertEqual(client.close_frame(), (4401, "E_TOKEN_REVOKED"))

    def test_pushed_token_and_kick(self):
        first = mint()
        client = self.helloed(first)
        # Minted before connecting: the signer can take longer than the 1 s hello deadline.
        second = mint("p2")
        other = self.connect()
        other.send_text(hello(second))
        self.assertIn("hello-ok", other.text())
        self.assertEqual(self.command("deliver p1 %s %s" % (PKG, mint(renewOf="0" * 32))), "deliver 0 ")
        pushed = mint(renewOf=jti_of(first))
        self.assertEqual(self.command("deliver p1 %s %s" % (PKG, pushed)), "deliver 1 ")
        message = json.loads(client.text())
        self.assertEqual(message["type"], "rt.token")
        self.assertEqual(message["payload"]["token"], pushed)
        self.assertEqual(message["payload"]["jti"], jti_of(pushed))

        self.assertEqual(self.command("sessions"), "sessions 2")
        self.assertEqual(self.command("kick p1"), "kicked")
        self.assertEqual(self.command("sessions"), "sessions 1")
        self.assertTrue(client.ended())
        other.send_json({"type": "no.such.method"})
        self.assertEqual(json.loads(other.text())["code"], "E_SCOPE_DENIED")


if __name__ == "__main__":
    unittest.main(verbosity=2)
