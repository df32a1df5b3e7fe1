"""An update server of the test's own for whole-host update tests: a throw-away CA and a server
certificate for 127.0.0.1 made with the openssl command line, the HTTPS server of
tests/app/ota/update_server.py, and web asset packs made from a copy of web/ with tools/qvn_pack.
The host is pointed at it with its test setting (QVN_UPDATE_TEST_SERVER, QVN_UPDATE_TEST_CA)."""
import hashlib
import json
import os
import shutil
import subprocess
import tempfile

BUILD = os.environ["QV_BUILD_DIR"]
SOURCE = os.environ["QV_SOURCE_DIR"]
PACKER = os.path.join(BUILD, "tools", "qvn_pack", "qvn_pack")
SERVER = os.path.join(SOURCE, "tests", "app", "ota", "update_server.py")


def sha256_file(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def make_pack(out, heading, full=True, filler=None):
    """A "QVNPACK2" pack whose index.html shows heading in its <h1>: all of web/ when full, else
    an overlay holding index.html alone; filler (bytes) adds an asset that makes the pack big.
    Returns the pack's SHA-256."""
    folder = tempfile.mkdtemp(prefix="qv-pack-src-")
    try:
        with open(os.path.join(SOURCE, "web", "index.html"), encoding="utf-8") as f:
            index = f.read()
        assert "<h1>Quorvane</h1>" in index
        if full:
            shutil.copytree(os.path.join(SOURCE, "web"), folder, dirs_exist_ok=True)
        with open(os.path.join(folder, "index.html"), "w", encoding="utf-8") as f:
            f.write(index.replace("<h1>Quorvane</h1>", "<h1>%s</h1>" % heading))
        if filler:
            with open(os.path.join(folder, "filler.bin"), "wb") as f:
                f.write(filler)
        subprocess.run([PACKER, "--format", "2", folder, out], check=True, capture_output=True, timeout=120)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    return sha256_file(out)


class UpdateServer:
    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="qv-ota-server-")
        self.ca = os.path.join(self.root, "ca.pem")
        self.routes = os.path.join(self.root, "routes.json")
        self.log = os.path.join(self.root, "requests.log")
        self.proc = None
        try:
            self._make_pki()
            self.route({})
            open(self.log, "w").close()
            self.proc = subprocess.Popen(
                ["/usr/bin/python3", SERVER, os.path.join(self.root, "server.pem"),
                 os.path.join(self.root, "server.key"), self.routes, self.log],
                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            line = self.proc.stdout.readline()  # the port, or nothing when the server failed
            assert line.strip().isdigit(), "update server did not start"
            self.url = "https://127.0.0.1:%d" % int(line)
        except BaseException:
            self.stop()
            raise

    def _make_pki(self):
        with open(os.path.join(self.root, "ext.cnf"), "w") as f:
            f.write("subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\n")
        ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes"]
        for args in (["req", "-x509", *ec, "-subj", "/CN=qv-e2e-ca", "-days", "1", "-keyout", "ca.key", "-out", "ca.pem"],
                     ["req", "-new", *ec, "-subj", "/CN=127.0.0.1", "-keyout", "server.key", "-out", "server.csr"],
                     ["x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
                      "-days", "1", "-extfile", "ext.cnf", "-out", "server.pem"]):
            subprocess.run(["openssl", *args], cwd=self.root, check=True, capture_output=True, timeout=60)

    def host_env(self):
        """What a Host needs in its environment to use this server."""
        return {"QVN_UPDATE_TEST_SERVER": self.url, "QVN_UPDATE_TEST_CA": self.ca}

    def route(self, routes):
        tmp = self.routes + ".tmp"
        with open(tmp, "w") as f:
            json.dump(routes, f)
        os.replace(tmp, self.routes)  # the server never reads half a file

    def offer(self, pack, sha256, version, kind, gate=None):
        """Offers the pack file as version; with gate, the manifest is answered only once the
        file gate exists."""
        manifest = {"body": json.dumps({"version": version})}
        if gate:
            manifest["waitForFile"] = gate
        descriptor = {"downloadPath": "packs/offered.qvnpack", "token": "e2e-token", "sha256": sha256,
                      "version": version, "kind": kind}
        self.route({"/api/v1/win/manifest": manifest,
                    "/api/v1/win/download": {"body": json.dumps(descriptor)},
                    "/api/v1/win/packs/offered.qvnpack": {"bodyFile": pack}})

    def requests(self):
        with open(self.log) as f:
            return [json.loads(line) for line in f if line.strip()]

    def stop(self):
        if self.proc is not None:
            if self.proc.poll() is None:
                self.proc.kill()
                self.proc.wait()
            self.proc.stdout.close()
        shutil.rmtree(self.root, ignore_errors=True)
