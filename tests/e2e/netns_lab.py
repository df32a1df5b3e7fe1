"""Network namespaces for the remote-access tests: a test re-runs itself as root of a fresh user
and network namespace, where the real remote port cannot collide with anything else on the
machine, and adds host namespaces joined to its own by veth pairs. Every address is one of the
namespaces' own."""
import asyncio
import contextlib
import ctypes
import json
import os
import subprocess
import sys
import unittest

from host_harness import wait_for

REMOTE_PORT = 51515
CLONE_NEWNET = 0x40000000
_libc = ctypes.CDLL(None, use_errno=True)


def run(*args):
    subprocess.run(list(args), check=True, capture_output=True)


def unavailable():
    """Why network namespaces cannot be made here, or None when they can."""
    probe = subprocess.run(["unshare", "-rn", "ip", "link", "add", "qvp0", "type", "veth", "peer", "name", "qvp1"],
                           capture_output=True)
    if probe.returncode != 0:
        return "network namespaces are not allowed here: " + probe.stderr.decode(errors="replace").strip()
    return None


def run_inside(test, script, timeout=240):
    """Runs script with "--inside" in a fresh user and network namespace and fails test with its
    output unless it exits with 0; skips test where namespaces are not allowed."""
    reason = unavailable()
    if reason:
        test.skipTest(reason)
    result = subprocess.run(["unshare", "-rn", sys.executable, os.path.abspath(script), "--inside"],
                            capture_output=True, text=True, timeout=timeout)
    sys.stderr.write(result.stderr)
    test.assertEqual(result.returncode, 0, result.stdout + result.stderr)


def report(failures):
    """Prints each failure for run_inside to show; the exit code of the inside run."""
    for f in failures:
        print(f)
    return 1 if failures else 0


def main(inside, **unittest_args):
    """A namespace test script's entry: the inside run with "--inside", the unittest cases otherwise."""
    if sys.argv[1:] == ["--inside"]:
        sys.exit(inside())
    unittest.main(module="__main__", **unittest_args)


@contextlib.contextmanager
def entered(ns_path):
    """The calling thread inside another network namespace for the block: the sockets it makes
    there (a page connection, a debugging-port request) stay in that namespace afterwards."""
    own = os.open("/proc/thread-self/ns/net", os.O_RDONLY)
    target = os.open(ns_path, os.O_RDONLY)
    try:
        if _libc.setns(target, CLONE_NEWNET) != 0:
            raise OSError(ctypes.get_errno(), "setns " + ns_path)
        try:
            yield
        finally:
            if _libc.setns(own, CLONE_NEWNET) != 0:
                raise OSError(ctypes.get_errno(), "setns back")
    finally:
        os.close(target)
        os.close(own)


def write_settings(host, text):
    """The host's remote-access settings file, before it starts."""
    folder = os.path.join(host.root, "data", "Quorvane")
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, "remote-access.json")
    with open(path, "w") as f:
        f.write(text if isinstance(text, str) else json.dumps(text))
    return path


async def admitted_viewer(address, token):
    """A viewer on the remote port of address whose hello the host answered with "hello-ok"."""
    import websockets
    ws = await websockets.connect("ws://%s:%d/" % (address, REMOTE_PORT), open_timeout=10, ping_interval=None)
    await ws.send(json.dumps({"type": "hello", "payload": {"protocol": 2, "role": "viewer", "token": token}}))
    reply = json.loads(await asyncio.wait_for(ws.recv(), 10))
    assert reply.get("type") == "hello-ok", reply
    return ws


def link_up(enter, name):
    return b"LOWER_UP" in subprocess.run(enter + ["ip", "link", "show", "dev", name], capture_output=True).stdout


class Lab:
    """Inside the test's own user and network namespace: one namespace per host, joined by veth."""

    def __init__(self):
        run("ip", "link", "set", "lo", "up")
        self.holders = []

    def add_host_namespace(self, index, viewer_addresses):
        """A namespace whose end of the veth pair has 10.0.index.10; the test's end has the viewer
        addresses. Returns (nsenter prefix, namespace path, host address)."""
        holder = subprocess.Popen(["unshare", "-n", "sleep", "600"])
        self.holders.append(holder)
        ns = "/proc/%d/ns/net" % holder.pid
        # The holder must be in its namespace before the peer end moves there.
        if not wait_for(lambda: os.readlink(ns) != os.readlink("/proc/self/ns/net"), 10):
            raise AssertionError("namespace holder did not start")
        outside, inside = "vh%d" % index, "vi%d" % index
        run("ip", "link", "add", outside, "type", "veth", "peer", "name", inside, "netns", str(holder.pid))
        for address in viewer_addresses:
            run("ip", "addr", "add", address + "/24", "dev", outside)
        run("ip", "link", "set", outside, "up")
        host_address = "10.0.%d.10" % index
        enter = ["nsenter", "--net=" + ns]
        run(*enter, "ip", "addr", "add", host_address + "/24", "dev", inside)
        run(*enter, "ip", "link", "set", inside, "up")
        run(*enter, "ip", "link", "set", "lo", "up")
        # The host reads its address list when it starts listening: only links that are up count.
        if not wait_for(lambda: link_up(enter, inside), 10):
            raise AssertionError("veth %s did not come up" % inside)
        return enter, ns, host_address

    def add_local_address(self, index):
        """A LAN address of the test's own namespace (a veth pair with both ends here), for a host
        that runs beside the test, on the link "va<index>". Returns the address."""
        a, b = "va%d" % index, "vb%d" % index
        run("ip", "link", "add", a, "type", "veth", "peer", "name", b)
        address = "10.0.%d.10" % index
        run("ip", "addr", "add", address + "/24", "dev", a)
        run("ip", "link", "set", a, "up")
        run("ip", "link", "set", b, "up")
        if not wait_for(lambda: link_up([], a), 10):
            raise AssertionError("veth %s did not come up" % a)
        return address

    def close(self):
        for h in self.holders:
            h.kill()
            h.wait()
