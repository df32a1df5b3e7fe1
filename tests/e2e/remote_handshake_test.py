"""Slow connections against the real remote port, from LAN addresses of a network namespace this
test made: one address holds eight sockets that never send a byte, another eight that finish the
upgrade and then trickle their first frame a byte at a time, while a third address says hello
every two seconds with a valid view token. The slow addresses may hold only their share of the
pending handshakes, each of their handshakes ends at its deadline, and that gets them locked out;
the third is admitted every time, and nothing pauses remote access for everyone."""
import asyncio
import json
import os
import socket
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from host_harness import start_with_page, wait_for  # noqa: E402
from netns_lab import REMOTE_PORT, Lab, entered, main, report, run_inside, write_settings  # noqa: E402
from plugin_process_test import sign  # noqa: E402
from remote_hosts_test import open_page  # noqa: E402
from remote_lan_test import KEY_REQUEST, MASK, handshake, receive  # noqa: E402

SLOTS = 8
HELLOS = 10
HELLO_EVERY_S = 2.0
TRICKLE_EVERY_S = 0.7


def hold(source, target, stop, upgrade):
    """One slow peer, opened again each time the host closes it: silent, or (upgrade) sending a
    whole upgrade request and then its first frame one byte at a time."""
    frame = bytes([0x81, 0x80 | 100]) + bytes(104)  # a masked text frame of 100 bytes
    while not stop.is_set():
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        try:
            s.bind((source, 0))
            s.settimeout(TRICKLE_EVERY_S)
            s.connect((target, REMOTE_PORT))
            if upgrade:
                s.sendall((KEY_REQUEST % ("%s:%d" % (target, REMOTE_PORT), "")).encode())
            for at in range(len(frame) if upgrade else 10 ** 6):
                if stop.is_set():
                    break
                try:
                    if s.recv(4096) == b"":
                        break  # closed by the host
                except socket.timeout:
                    pass
                if upgrade:
                    s.send(frame[at:at + 1])
        except OSError:
            pass
        finally:
            s.close()
        stop.wait(0.2)


def masked_text(text):
    """A client's text frame of any length below 64 KiB."""
    data = text.encode()
    length = bytes([0x80 | len(data)]) if len(data) < 126 else bytes([0x80 | 126]) + len(data).to_bytes(2, "big")
    return bytes([0x81]) + length + MASK + bytes(b ^ MASK[i % 4] for i, b in enumerate(data))


def first_frame(data):
    """The payload of the first whole unmasked frame in data, or None."""
    if len(data) < 2:
        return None
    length, at = data[1] & 0x7F, 2
    if length == 126:
        if len(data) < 4:
            return None
        length, at = int.from_bytes(data[2:4], "big"), 4
    return data[at:at + length] if len(data) >= at + length else None


def hello(source, target, token):
    """The type of the host's answer to one hello from source ("" when it closed without one)."""
    answer, s = handshake(source, target)
    try:
        if not answer.startswith(b"HTTP/1.1 101"):
            return ""
        s.sendall(masked_text(json.dumps({"type": "hello", "payload": {"protocol": 2, "role": "viewer",
                                                                       "token": token}})))
        data = receive(s, lambda d: first_frame(d) is not None)
        payload = first_frame(data)
        return json.loads(payload).get("type", "") if payload is not None else ""
    except (OSError, ValueError):
        return ""
    finally:
        s.close()


def round_of(host, address, audience, slow, good, upgrade, failures):
    what = "tricklers" if upgrade else "silent sockets"
    stop = threading.Event()
    holders = [threading.Thread(target=hold, args=(slow, address, stop, upgrade)) for _ in range(SLOTS)]
    for t in holders:
        t.start()
    admitted = []
    try:
        time.sleep(1)  # the slow peers are in place first
        for n in range(HELLOS):
            started = time.monotonic()
            token = sign("view", json.dumps({"sub": "user:%s-%d" % ("t" if upgrade else "s", n), "name": "v",
                                             "aud": audience}))
            admitted.append(hello(good, address, token))
            time.sleep(max(0.0, HELLO_EVERY_S - (time.monotonic() - started)))
    finally:
        stop.set()
        for t in holders:
            t.join()
    if admitted.count("hello-ok") != HELLOS:
        failures.append("with 8 %s from %s, %d of %d hellos from %s were admitted: %r"
                        % (what, slow, admitted.count("hello-ok"), HELLOS, good, admitted))
    lock = ("[remote] auth lock ip=%s 10min\n" % slow).encode()
    if not wait_for(lambda: lock in host.read_log(), 10):
        failures.append("the address of the %s was not locked out" % what)
    log = host.read_log()
    if ("[remote] auth lock ip=%s" % good).encode() in log:
        failures.append("the admitted address was locked")
    if b"[remote] auth pause" in log:
        failures.append("slow peers paused remote access for everyone")


async def apply_revocations(port, token, ns):
    """View tokens are only admitted against a revocation list the host holds."""
    page = await open_page(port, token, ns)
    try:
        reply = await page.request("applyRpcRevocations", json.loads(sign("revocations", '{"rev": 1}')))
        return reply.get("data") == {"ok": True}
    finally:
        await page.ws.close()


def inside():
    """The body, run as root of a fresh user and network namespace."""
    lab = Lab()
    started = []
    failures = []
    try:
        viewers = ["10.0.1.1", "10.0.1.2", "10.0.1.3"]
        enter, ns, address = lab.add_host_namespace(1, viewers)
        host, port, page = start_with_page(
            "qv-remote-handshake-", prepare=lambda h: write_settings(h, {"enabled": True, "port": REMOTE_PORT, "v": 1}),
            wrapper=enter, network=lambda: entered(ns))
        started.append(host)
        token, installation, session, _ = page
        if not asyncio.run(apply_revocations(port, token, ns)):
            failures.append("the host took no revocation list")
        audience = "qvn-install:%s/%s" % (installation, session)
        line = ("[remote] listening 0.0.0.0:%d\n" % REMOTE_PORT).encode()
        if not wait_for(lambda: line in host.read_log(), 30):
            failures.append("the host did not listen")
        else:
            round_of(host, address, audience, viewers[0], viewers[1], False, failures)
            round_of(host, address, audience, viewers[2], viewers[1], True, failures)
        code = host.stop()
        if code != 0:
            failures.append("host exit code %s" % code)
        if failures:
            # Not every refusal of the locked slow addresses: the rest of the remote log.
            lines = [x for x in host.read_log().decode(errors="replace").splitlines()
                     if "[remote]" in x and ("handshake rejected" not in x or "10.0.1.2" in x)]
            failures.append("remote log: %s" % "\n".join(lines[-60:]))
    finally:
        for h in started:
            h.remove()
        lab.close()
    return report(failures)


class RemoteHandshake(unittest.TestCase):
    def test_slow_sockets_from_one_address_keep_no_one_else_out(self):
        run_inside(self, __file__)


if __name__ == "__main__":
    main(inside)
