"""Files that are not what they seem, planted where the host looks: a symlinked log, a FIFO in
place of the installation id, a web pack of another user's or writable by others, and a pack
whose compressed data would inflate to gigabytes."""
import os
import shutil
import signal
import struct
import unittest
import zlib

from host_harness import Host, wait_for

# Logged once the host answers SIGTERM (its handler is installed before the bridge listens).
READY = b"[main] WsServer listening on"
NOBODY = 65534


def peak_resident_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def write_pack(path, name, data, declared_size=None):
    """A "QVNPACK2" pack with one entry whose data area is the raw DEFLATE of data."""
    compressed = zlib.compressobj(9, zlib.DEFLATED, -15)
    body = b"".join(compressed.compress(chunk) for chunk in data) + compressed.flush()
    size = declared_size if declared_size is not None else 0
    header = b"QVNPACK2" + struct.pack("<III", 2, 0, 1) + struct.pack("<Q", size)
    entry = struct.pack("<H", len(name)) + name + struct.pack("<H", 9) + b"text/html" + struct.pack("<QQ", 0, size)
    with open(path, "wb") as f:
        f.write(header + entry + body)


class PlantedFiles(unittest.TestCase):
    def setUp(self):
        self.host = Host(prefix="qv-planted-")

    def tearDown(self):
        self.host.remove()

    def run_until_ready(self, log=None):
        log = log or self.host.log
        if os.path.isfile(log) and not os.path.islink(log):
            os.remove(log)  # an earlier run's ready line must not count

        def read():
            try:
                with open(log, "rb") as f:
                    return f.read()
            except FileNotFoundError:
                return b""

        self.host.start()
        self.assertTrue(wait_for(lambda: READY in read()), read())
        return read

    def test_log_symlink_is_not_followed(self):
        victim = os.path.join(self.host.root, "victim.txt")
        with open(victim, "w") as f:
            f.write("precious\n")
        os.symlink(victim, self.host.log)
        fallback = os.path.join(self.host.root, "data", "Quorvane", "Quorvane.log")
        read = self.run_until_ready(fallback)
        self.assertEqual(self.host.stop(), 0)
        with open(victim) as f:
            self.assertEqual(f.read(), "precious\n")
        self.assertIn(b"(exe directory wasn't writable)", read())

    def test_fifo_installation_id_is_replaced_and_the_host_still_stops(self):
        folder = os.path.join(self.host.root, "data", "Quorvane")
        os.makedirs(folder, mode=0o700)
        path = os.path.join(folder, "installation-id.bin")
        os.mkfifo(path)
        self.run_until_ready()
        self.assertTrue(wait_for(lambda: os.path.isfile(path)), "the FIFO was not replaced by an id file")
        self.assertEqual(self.host.stop(signal.SIGTERM), 0, self.host.read_log())

    def test_untrusted_web_pack_is_skipped_for_the_embedded_one(self):
        pack = os.path.join(self.host.exe_dir, "web.pack")
        cases = [("writable by others", lambda: os.chmod(pack, 0o666))]
        if os.geteuid() == 0:
            cases.append(("owned by another user", lambda: os.chown(pack, NOBODY, NOBODY)))
        else:
            print("skipping the other-user pack: planting a file as another user needs root")
        for why, plant in cases:
            with self.subTest(why=why):
                write_pack(pack, b"index.html", [b"<p>planted</p>"], declared_size=14)
                plant()
                read = self.run_until_ready()
                self.assertEqual(self.host.stop(), 0)
                log = read()
                self.assertIn(f"[assets] {pack} ignored: {why}\n".encode(), log)
                self.assertIn(b"[assets] loaded from embedded resource", log)
                self.assertNotIn(b"loaded from disk web.pack", log)
                os.remove(pack)

    def test_pack_that_inflates_to_gigabytes_is_refused_without_the_memory(self):
        pack = os.path.join(self.host.exe_dir, "web.pack")
        size = 2 << 30
        zeros = bytes(1 << 20)
        write_pack(pack, b"index.html", (zeros for _ in range(size >> 20)), declared_size=size)
        read = self.run_until_ready()
        peak = peak_resident_kib(self.host.proc.pid)
        self.assertEqual(self.host.stop(), 0)
        self.assertIn(b"[assets] loaded from embedded resource", read())
        self.assertLess(peak, 512 * 1024, f"peak resident {peak} KiB")


if __name__ == "__main__":
    unittest.main(verbosity=2)
