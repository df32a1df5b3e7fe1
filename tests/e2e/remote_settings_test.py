"""Remote access switched through the page of the real host, on the real remote port inside a
network namespace the test made (so the port cannot collide with anything else on the machine):
start-up from the settings file, "remote.listener" events on page connect and on every change
(switching, admission, a session's end, an address appearing), a port held by another program,
"remote.setEnabled" closing the viewers and binding the port again while their connections are
still winding down, and the settings file after a kill -9 in the middle of switching."""
import asyncio
import json
import os
import re
import signal
import socket
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import websockets  # noqa: E402

from host_harness import APP_ORIGIN, start_with_page, wait_for  # noqa: E402
from netns_lab import REMOTE_PORT, Lab, admitted_viewer, main, run, run_inside, write_settings  # noqa: E402
from plugin_process_test import Page, sign  # noqa: E402

ON = '{"enabled":true,"port":51515,"v":1}'
OFF = '{"enabled":false,"port":51515,"v":1}'
LISTENING = ("[remote] listening 0.0.0.0:%d\n" % REMOTE_PORT).encode()


def settings_path(host):
    return os.path.join(host.root, "data", "Quorvane", "remote-access.json")


def read_text(path):
    with open(path) as f:
        return f.read()


def listener_events(page):
    return [e for e in page.events if e.get("type") == "remote.listener"]


class Checks:
    def __init__(self):
        self.failures = []

    def expect(self, condition, what):
        if not condition:
            self.failures.append(what)
        return condition


async def open_page(port, token):
    ws = await websockets.connect("ws://127.0.0.1:%d/?token=%s" % (port, token), origin=APP_ORIGIN,
                                  max_size=None, open_timeout=10, ping_interval=None)
    return Page(ws)


async def close_code(ws):
    """The close code and reason the host ended a viewer with."""
    try:
        while True:
            await asyncio.wait_for(ws.recv(), 10)
    except websockets.ConnectionClosed as closed:
        return closed.code, closed.reason


async def until_listener(page, predicate, after):
    """Reads until a "remote.listener" event after the first `after` ones satisfies predicate."""
    await page.until(lambda events: any(predicate(e) for e in listener_events(page)[after:]))


async def switching(host, port, page_values, address, device, checks):
    expect = checks.expect
    token, installation, session, _ = page_values

    def view_token():
        return sign("view", json.dumps({"sub": "user:watcher", "aud": "qvn-install:%s/%s" % (installation, session)}))

    page = await open_page(port, token)
    try:
        # Launched enabled: the page is told the status as it connects.
        await until_listener(page, lambda e: True, 0)
        first = listener_events(page)[0]
        expect(first["enabled"] is True and first["port"] == REMOTE_PORT and first["viewers"] == []
               and {"ip": address, "kind": "lan"} in first["addresses"] and "error" not in first,
               "status on page connect: %r" % first)
        status = await page.request("remote.status")
        expect(dict(status["data"], type="remote.listener") == first, "the status request agrees: %r" % status)
        revocations = await page.request("applyRpcRevocations", json.loads(sign("revocations", '{"rev": 1}')))
        expect(revocations.get("data") == {"ok": True}, "revocation list: %r" % revocations)

        # Admission and the end of a session each send the status.
        seen = len(listener_events(page))
        viewer = await admitted_viewer(address, view_token())
        await until_listener(page, lambda e: len(e["viewers"]) == 1, seen)
        seen = len(listener_events(page))
        await viewer.close()
        await until_listener(page, lambda e: e["viewers"] == [], seen)

        # Switching on while on starts the listener again: every viewer is closed, and the port is
        # bound again although the closed connections are still in the kernel's wait state.
        viewers = [await admitted_viewer(address, view_token()) for _ in range(2)]
        await page.until(lambda events: len(listener_events(page)[-1]["viewers"]) == 2)
        binds = host.read_log().count(LISTENING)
        seen = len(listener_events(page))
        again = await page.request("remote.setEnabled", {"enabled": True})
        expect(again["data"]["enabled"] is True and again["data"]["port"] == REMOTE_PORT
               and "error" not in again["data"], "switching on again listens: %r" % again)
        for ws in viewers:
            expect(await close_code(ws) == (4001, "remote_access_disabled"), "a viewer is closed on restart")
        expect(host.read_log().count(LISTENING) == binds + 1, "the port was bound again")
        await until_listener(page, lambda e: e["enabled"] and e["port"] == REMOTE_PORT, seen)

        # Off: the viewer connected before is closed, the port is free, the setting stored.
        viewer = await admitted_viewer(address, view_token())
        seen = len(listener_events(page))
        off = await page.request("remote.setEnabled", {"enabled": False})
        expect(off["data"]["enabled"] is False and off["data"]["port"] is None and off["data"]["viewers"] == []
               and "error" not in off["data"], "switched off: %r" % off)
        expect(await close_code(viewer) == (4001, "remote_access_disabled"), "the viewer is closed when off")
        expect(read_text(settings_path(host)) == OFF, "the off setting is stored")
        await until_listener(page, lambda e: e["enabled"] is False and e["port"] is None, seen)
        try:
            refused = await websockets.connect("ws://%s:%d/" % (address, REMOTE_PORT), open_timeout=5)
            await refused.close()
            expect(False, "nothing listens while off")
        except OSError:
            pass

        # On again with another port asked for: the fixed port, rebound with the viewers' closed
        # connections still waiting, and a new viewer is served.
        seen = len(listener_events(page))
        on = await page.request("remote.setEnabled", {"enabled": True, "port": 8080})
        expect(on["data"]["enabled"] is True and on["data"]["port"] == REMOTE_PORT and "error" not in on["data"],
               "switched on again: %r" % on)
        expect(b"[remote] ignoring requested port 8080; fixed port is 51515\n" in host.read_log(),
               "the asked-for port is logged as ignored")
        expect(read_text(settings_path(host)) == ON, "the on setting is stored")
        await until_listener(page, lambda e: e["enabled"] is True and e["port"] == REMOTE_PORT, seen)
        viewer = await admitted_viewer(address, view_token())
        await page.until(lambda events: len(listener_events(page)[-1]["viewers"]) == 1)
        await viewer.close()

        # An address that appears while listening is reported without any request.
        seen = len(listener_events(page))
        added = address.rsplit(".", 1)[0] + ".11"
        run("ip", "addr", "add", added + "/24", "dev", device)
        await page.until(lambda events: any({"ip": added, "kind": "lan"} in e["addresses"]
                                            for e in listener_events(page)[seen:]), timeout=30)

        # Another page connection is told the status at once as well.
        second = await open_page(port, token)
        try:
            await until_listener(second, lambda e: e["enabled"] is True, 0)
        finally:
            await second.ws.close()
    finally:
        await page.ws.close()


async def bind_failure(port, token, holder, checks):
    """Launched enabled while something else holds the port: the failure is in the status, not an
    error of any request; once the port is free, switching on listens."""
    expect = checks.expect
    page = await open_page(port, token)
    try:
        await until_listener(page, lambda e: True, 0)
        first = listener_events(page)[0]
        expect(first["enabled"] is True and first["port"] is None and first.get("error") == "E_REMOTE_BIND",
               "a bind failure at launch is in the status: %r" % first)
        again = await page.request("remote.setEnabled", {"enabled": True})
        expect("data" in again and again["data"].get("error") == "E_REMOTE_BIND" and again["data"]["port"] is None,
               "switching on while the port is held answers the status: %r" % again)
        holder.close()
        on = await page.request("remote.setEnabled", {"enabled": True})
        expect(on.get("data", {}).get("port") == REMOTE_PORT and "error" not in on.get("data", {}),
               "switching on once the port is free listens: %r" % on)
        off = await page.request("remote.setEnabled", {"enabled": False})
        expect(off.get("data", {}).get("port") is None and "error" not in off.get("data", {}),
               "switched off: %r" % off)
    finally:
        await page.ws.close()


async def flood_and_kill(host, port, token, delay):
    """Sends switching requests without waiting for the answers and kills the host after delay."""
    page = await open_page(port, token)
    for i in range(40):
        await page.ws.send(json.dumps({"id": i + 1, "type": "remote.setEnabled", "payload": {"enabled": i % 2 == 0}}))
    await asyncio.sleep(delay)
    host.proc.send_signal(signal.SIGKILL)
    host.proc.wait()
    try:
        await page.ws.close()
    except (OSError, websockets.ConnectionClosed):
        pass


def killed_while_switching(checks):
    """Each kill lands at another moment of a run of switches; the file is one whole text."""
    for round_ in range(8):
        delay = (round_ * 0.013) % 0.06
        host, port, page_values = start_with_page("qv-remote-kill-", prepare=lambda h: write_settings(h, OFF))
        try:
            asyncio.run(flood_and_kill(host, port, page_values[0], delay))
            text = read_text(settings_path(host))
            checks.expect(text in (ON, OFF), "after a kill at %.3f s the settings are %r" % (delay, text))
        finally:
            host.remove()


def inside():
    """The body, run as root of a fresh user and network namespace."""
    lab = Lab()
    checks = Checks()
    try:
        address = lab.add_local_address(2)
        # A stored port other than the fixed one is rewritten at launch, keeping the flag.
        host, port, page_values = start_with_page(
            "qv-remote-settings-", prepare=lambda h: write_settings(h, '{"enabled":true,"port":1234,"v":1}'))
        try:
            checks.expect(wait_for(lambda: LISTENING in host.read_log(), 30), "listens at launch")
            checks.expect(read_text(settings_path(host)) == ON, "the stored port is rewritten")
            try:
                asyncio.run(asyncio.wait_for(switching(host, port, page_values, address, "va2", checks), 120))
            except (AssertionError, asyncio.TimeoutError, OSError, websockets.WebSocketException) as e:
                checks.failures.append("switching stopped: %r" % e)
            code = host.stop()
            checks.expect(code == 0, "exit code %s" % code)
            if checks.failures:
                checks.failures.append("\n".join(re.findall(r"\[remote\][^\n]*", host.read_log().decode(errors="replace"))))
        finally:
            host.remove()
        holder = socket.socket()
        holder.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        holder.bind(("0.0.0.0", REMOTE_PORT))
        holder.listen()
        try:
            host, port, page_values = start_with_page("qv-remote-bind-", prepare=lambda h: write_settings(h, ON))
            try:
                asyncio.run(asyncio.wait_for(bind_failure(port, page_values[0], holder, checks), 60))
            except (AssertionError, asyncio.TimeoutError, OSError, websockets.WebSocketException) as e:
                checks.failures.append("bind failure stopped: %r" % e)
            finally:
                host.remove()
        finally:
            holder.close()
        killed_while_switching(checks)
    finally:
        lab.close()
    for f in checks.failures:
        print(f)
    return 1 if checks.failures else 0


class RemoteSettings(unittest.TestCase):
    def test_launch_switching_events_and_kills(self):
        run_inside(self, __file__, timeout=280)


if __name__ == "__main__":
    main(inside)
