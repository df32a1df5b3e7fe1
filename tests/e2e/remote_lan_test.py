"""Two real hosts on the real remote port, each in a network namespace of its own joined to the
test's namespace by a veth pair, and a viewer in the test's namespace reaching them over the veth
addresses: the LAN path, the Host and Origin checks, and the per-address guard with several source
addresses, as on a network. Every address belongs to namespaces this test made."""
import json
import os
import socket
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from host_harness import Host, wait_for  # noqa: E402
from netns_lab import REMOTE_PORT as PORT, Lab, main, report, run_inside, write_settings  # noqa: E402

KEY_REQUEST = ("GET / HTTP/1.1\r\nHost: %s\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
               "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n%s\r\n")
MASK = bytes([0x5a, 0x0c, 0xe3, 0x71])


def handshake(source, target, host_header=None, extra=""):
    """The first bytes of the answer ("" when the host closed without one) and the socket."""
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.settimeout(10)
    s.bind((source, 0))
    s.connect((target, PORT))
    s.sendall((KEY_REQUEST % (host_header or "%s:%d" % (target, PORT), extra)).encode())
    return receive(s, lambda data: b"\r\n\r\n" in data), s


def receive(s, done=lambda data: False):
    """What s receives until done(what came so far), the host closes or resets, or the time-out passes."""
    data = b""
    try:
        while not done(data):
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
    except (ConnectionResetError, socket.timeout):
        pass
    return data


def send_masked_text(s, text):
    data = text.encode()
    s.sendall(bytes([0x81, 0x80 | len(data)]) + MASK + bytes(b ^ MASK[i % 4] for i, b in enumerate(data)))


def read_frames(s):
    """Every frame until the host closes: a list of (opcode, payload)."""
    data = receive(s)
    frames = []
    while len(data) >= 2:
        length = data[1] & 0x7F
        at = 2
        if length == 126:
            length = int.from_bytes(data[2:4], "big")
            at = 4
        frames.append((data[0] & 0x0F, data[at:at + length]))
        data = data[at + length:]
    return frames


def inside():
    """The body, run as root of a fresh user and network namespace."""
    lab = Lab()
    hosts = []
    failures = []
    try:
        setups = []
        for index in (1, 2):
            viewers = ["10.0.%d.%d" % (index, n) for n in (1, 2, 3)]
            enter, _, address = lab.add_host_namespace(index, viewers)
            host = Host(prefix="qv-remote-lan-")
            write_settings(host, {"enabled": True, "port": PORT, "v": 1})
            host.start(enter)
            hosts.append(host)
            setups.append((host, address, viewers))
        for host, address, viewers in setups:
            line = ("[remote] listening 0.0.0.0:%d\n" % PORT).encode()
            if not wait_for(lambda: line in host.read_log(), 30):
                failures.append("host %s did not listen: %s" % (address, host.read_log()[-2000:]))
                continue
            check_host(host, address, viewers, failures)
        for host, address, _ in setups:
            code = host.stop()
            if code != 0:
                failures.append("host %s exit code %s" % (address, code))
    finally:
        for host in hosts:
            host.remove()
        lab.close()
    return report(failures)


def check_host(host, address, viewers, failures):
    def expect(condition, what):
        if not condition:
            failures.append("%s: %s" % (address, what))

    first, second, third = viewers
    answer, s = handshake(first, address)
    expect(answer.startswith(b"HTTP/1.1 101"), "a correct upgrade over the veth address is accepted: %r" % answer)
    send_masked_text(s, json.dumps({"type": "hello", "payload": {"protocol": 2, "role": "viewer",
                                                                 "token": "not.a.token"}}))
    frames = read_frames(s)
    s.close()
    expect(len(frames) == 2 and json.loads(frames[0][1]).get("type") == "error",
           "a bad token gets an error message: %r" % frames)
    expect(len(frames) == 2 and frames[1][0] == 8 and frames[1][1][:2] == (4401).to_bytes(2, "big"),
           "then close 4401: %r" % frames)

    for what, header, extra in (("loopback Host", "127.0.0.1:%d" % PORT, ""),
                                ("another port", "%s:%d" % (address, PORT + 1), ""),
                                ("an Origin", None, "Origin: http://page.invalid\r\n")):
        answer, s = handshake(first, address, header, extra)
        s.close()
        expect(answer == b"", "%s is refused without an answer: %r" % (what, answer))

    # Five failures from the second address lock it; the third is still served.
    for _ in range(5):
        answer, s = handshake(second, address, None, "Origin: http://page.invalid\r\n")
        s.close()
    answer, s = handshake(second, address)
    s.close()
    expect(answer == b"", "the locked address is refused: %r" % answer)
    answer, s = handshake(third, address)
    s.close()
    expect(answer.startswith(b"HTTP/1.1 101"), "another address of the same viewer machine is served: %r" % answer)
    log = host.read_log()
    expect(("[remote] auth lock ip=%s 10min\n" % second).encode() in log, "the lock is logged")
    expect(("[remote] auth lock ip=%s" % first).encode() not in log, "the first address is not locked")


class RemoteLan(unittest.TestCase):
    def test_two_hosts_on_the_remote_port_behind_veth(self):
        run_inside(self, __file__)


if __name__ == "__main__":
    main(inside)
