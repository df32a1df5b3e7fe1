"""One instance watching another across a veth pair: host A runs in a network namespace of its own
with remote access on and a plugin process that publishes; host B runs in the test's namespace,
and B's page (python3-websockets in the page's place) asks B to connect to A with a view token
for a share A's page defined. B's page receives A's verified messages as "remote.batch" and the
source's end as "remote.source"; A's page revokes the share and B's page is told the connection
closed. Every address belongs to namespaces this test made."""
import asyncio
import json
import os
import re
import shutil
import socket
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import websockets  # noqa: E402

from host_harness import APP_ORIGIN, start_with_page  # noqa: E402
from netns_lab import REMOTE_PORT, Lab, entered, main, report, run_inside, write_settings  # noqa: E402
from plugin_process_test import PLUGIN, Page, make_package, sign  # noqa: E402

SHARE = "lan-share_1"
CONNECTION = "to-a"


async def open_page(port, token, ns=None):
    """A page connection to a host's bridge; inside ns when the host runs there."""
    uri = "ws://127.0.0.1:%d/?token=%s" % (port, token)
    if ns is None:
        ws = await websockets.connect(uri, origin=APP_ORIGIN, max_size=None, open_timeout=10, ping_interval=None)
    else:
        with entered(ns):
            sock = socket.create_connection(("127.0.0.1", port), timeout=10)
        sock.setblocking(False)
        ws = await websockets.connect(uri, sock=sock, origin=APP_ORIGIN, max_size=None, open_timeout=10,
                                      ping_interval=None)
    return Page(ws)


async def wait_until(predicate, timeout=20):
    end = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > end:
            return False
        await asyncio.sleep(0.05)
    return True


def of_type(events, type_):
    return [e for e in events if e.get("type") == type_]


def connection_states(events):
    return [e for e in of_type(events, "remote.connection") if e.get("connectionId") == CONNECTION]


def last_viewer_count(events):
    listener = of_type(events, "remote.listener")
    return len(listener[-1]["viewers"]) if listener else None


async def stage_source(page, stage, expect):
    """A's page holds a revocation list and stages the test plugin; the plugin's sha and source."""
    revocations = await page.request("applyRpcRevocations", json.loads(sign("revocations", '{"rev": 1}')))
    expect(revocations.get("data") == {"ok": True}, "A holds a revocation list: %r" % revocations)
    staged = await page.request("stagePluginPackage", stage)
    expect(staged.get("data", {}).get("ok") is True, "A stages the plugin: %r" % staged)
    sha = stage["packageSha256"]
    return sha, PLUGIN + "@" + sha


async def scenario(a, b, failures, stage, a_address, pages, scratch):
    def expect(condition, what):
        if not condition:
            failures.append(what)
        return condition

    a_token, a_installation, a_session, _ = a["page"]
    b_token = b["page"][0]
    page_a = await open_page(a["port"], a_token, a["ns"])
    page_b = await open_page(b["port"], b_token)
    pages.update(a=page_a, b=page_b)
    try:
        # The page connect of an instance with remote access on is told the status at once.
        await page_a.until(lambda events: of_type(events, "remote.listener"))
        first = of_type(page_a.events, "remote.listener")[0]
        expect(first["enabled"] is True and first["port"] == REMOTE_PORT, "A's status on page connect: %r" % first)
        expect({"ip": a_address, "kind": "lan"} in first["addresses"], "A lists its veth address: %r" % first)

        sha, source = await stage_source(page_a, stage, expect)
        shared = await page_a.request("remote.shareSources", {"shareId": SHARE, "sources": [source]})
        expect(shared == {"id": shared["id"], "data": {"ok": True}}, "A defines the share: %r" % shared)

        def view_token():
            # The token carries A's address (after one that is not a LAN address and is skipped).
            return sign("view", json.dumps({"sub": "user:watcher", "name": "B", "share": SHARE,
                                            "aud": "qvn-install:%s/%s" % (a_installation, a_session),
                                            "addr": ["203.0.113.9:%d" % REMOTE_PORT,
                                                     "%s:%d" % (a_address, REMOTE_PORT)]}))
        view = view_token()
        # B is given no address of its own: it takes the token's.
        connected = await page_b.request("remote.connect", {"connectionId": CONNECTION, "token": view, "maxHz": 20})
        expect(connected.get("data") == {"ok": True, "connectionId": CONNECTION}, "B connects: %r" % connected)
        await page_b.until(lambda events: any(e["state"] in ("connected", "closed")
                                              for e in connection_states(events)))
        states = connection_states(page_b.events)
        if not expect(states[-1] == {"type": "remote.connection", "connectionId": CONNECTION, "state": "connected",
                                     "addr": "%s:%d" % (a_address, REMOTE_PORT)},
                      "B reaches A: %r" % states):
            return
        await page_a.until(lambda events: last_viewer_count(events) == 1)
        viewer = of_type(page_a.events, "remote.listener")[-1]["viewers"][0]
        expect((viewer["name"], viewer["account"], viewer["shareId"]) == ("B", "watcher", SHARE),
               "A shows B as its viewer: %r" % viewer)

        # A's plugin process publishes: its messages are verified, and B passes them on as sent.
        armed = await page_a.request("armPluginRpc", {"pluginId": PLUGIN, "packageSha256": sha, "token": sign(
            "cap", json.dumps({"sub": "user:u1/plugin:" + PLUGIN, "pkg": sha, "cap": "realtime",
                               "aud": "qvn-install:%s/%s" % (a_installation, a_session),
                               "scope": ["rt.publish:" + PLUGIN]}))})
        expect(armed.get("data") == {"ok": True, "pluginId": PLUGIN}, "A arms the plugin: %r" % armed)
        started = await page_a.request("startRealtimePlugin", {
            "pluginId": PLUGIN, "packageSha256": sha, "capability": "realtime",
            "pluginSettings": {"publish": 5, "hang": True},
            "launch": {"executable": "bin/plugin", "transport": "stdio"}})
        expect(started.get("data", {}).get("provenance") == "verified", "A starts the plugin: %r" % started)
        await page_a.until(lambda events: len(page_a.frames()) >= 5)

        def remote_frames(events):
            return [f for e in of_type(events, "remote.batch") for f in e["frames"]]
        await page_b.until(lambda events: any(f["seq"] == 5 for f in remote_frames(events)))
        batches = of_type(page_b.events, "remote.batch")
        expect(all(e["connectionId"] == CONNECTION and e["shareId"] == SHARE for e in batches),
               "each batch names the connection and share: %r" % batches)
        expect(all(f["provenance"] == "verified" and f["source"] == source for f in page_a.frames()),
               "A's messages are verified ones of the plugin: %r" % page_a.frames())
        # A burst faster than the viewer's rate is merged: a frame B never got is counted in the
        # gap of the one that replaced it; every frame B got is A's, as A's page saw it.
        by_seq = {f["seq"]: f for f in page_a.frames()}
        received, missed = remote_frames(page_b.events), 0
        for f in received:
            gap = f.get("gap")
            missed += gap["missed"] if gap else 0
            plain = {k: v for k, v in f.items() if k != "gap"}
            expect(plain == by_seq.get(f["seq"]), "B's frame is A's: %r against %r" % (f, by_seq.get(f["seq"])))
        expect([f["seq"] for f in received] == sorted(f["seq"] for f in received) and len(received) + missed == 5,
               "B's frames are in order and account for all five: %r" % received)

        stopped = await page_a.request("stopRealtimePlugin", {"pluginId": PLUGIN})
        expect(stopped.get("data", {}).get("ok") is True, "A stops the plugin: %r" % stopped)
        await page_b.until(lambda events: of_type(events, "remote.source"))
        ended = of_type(page_b.events, "remote.source")[0]
        expect(ended == {"type": "remote.source", "connectionId": CONNECTION, "shareId": SHARE, "source": source,
                         "state": "ended", "lastSeq": 5}, "B's page is told the source ended: %r" % ended)

        # A view token is good for one admission: the page renews it on the live connection, so
        # the reconnect after the revocation below presents a token A has not seen used.
        renewal = view_token()
        renewed = await page_b.request("remote.renew", {"connectionId": CONNECTION, "token": renewal})
        expect(renewed.get("data") == {"ok": True}, "B's page renews the token: %r" % renewed)
        expect(await wait_until(lambda: re.search(rb"\[remote\] renew ip=10\.0\.1\.1 jti=\S+ result=ok\n",
                                                  a["host"].read_log())), "A takes the renewal")

        revoked = await page_a.request("remote.revoke", {"shareIds": [SHARE]})
        expect(revoked.get("data") == {"ok": True, "closed": 1}, "A revokes the share: %r" % revoked)
        await page_b.until(lambda events: connection_states(events)[-1]["state"] == "closed")
        closed = connection_states(page_b.events)[-1]
        # The revoked viewer is closed; its one reconnect is refused for the revoked share.
        expect(closed.get("code") == 4403 and closed.get("reason") == "E_TOKEN_REVOKED",
               "B's connection ends refused as revoked: %r" % connection_states(page_b.events))
        await page_a.until(lambda events: last_viewer_count(events) == 0)
        status = await page_b.request("remote.disconnect", {"connectionId": CONNECTION})
        expect(status.get("data") == {"ok": True}, "B forgets the connection: %r" % status)
    finally:
        await page_a.ws.close()
        await page_b.ws.close()


def two_hosts(scenario, timeout, **env):
    """Host A in a network namespace of its own with remote access on, host B in the test's
    namespace, both with env added to their environment; runs
    scenario(a, b, failures, stage, a_address, pages, scratch) with the test plugin's package staged
    in scratch, stops both hosts and returns the inside run's exit code. Run as root of a fresh
    user and network namespace."""
    lab = Lab()
    scratch = tempfile.mkdtemp(prefix="qv-remote-hosts-")
    started = []
    failures = []
    try:
        stage = make_package(os.path.join(scratch, "pkg"))
        enter, ns, a_address = lab.add_host_namespace(1, ["10.0.1.1"])
        host_a, port_a, page = start_with_page(
            "qv-remote-a-", prepare=lambda h: write_settings(h, {"enabled": True, "port": REMOTE_PORT, "v": 1}),
            wrapper=enter, network=lambda: entered(ns), **env)
        started.append(host_a)
        a = {"port": port_a, "page": page, "ns": ns, "host": host_a}
        host_b, port_b, page = start_with_page("qv-remote-b-", **env)
        started.append(host_b)
        b = {"port": port_b, "page": page, "host": host_b}
        pages = {}
        try:
            asyncio.run(asyncio.wait_for(scenario(a, b, failures, stage, a_address, pages, scratch), timeout))
        except (AssertionError, asyncio.TimeoutError, OSError, websockets.WebSocketException) as e:
            failures.append("scenario stopped: %r; events of the pages: %r" % (
                e, {name: page.events[-8:] for name, page in pages.items()}))
        for name, host in (("A", host_a), ("B", host_b)):
            code = host.stop()
            if code != 0:
                failures.append("host %s exit code %s" % (name, code))
        if failures:
            for name, host in (("A", host_a), ("B", host_b)):
                lines = [line for line in host.read_log().decode(errors="replace").splitlines() if "[remote]" in line]
                failures.append("%s's remote log: %s" % (name, "\n".join(lines[-30:])))
    finally:
        for host in started:
            host.remove()
        lab.close()
        shutil.rmtree(scratch, ignore_errors=True)
    return report(failures)


def inside():
    return two_hosts(scenario, 180)


class RemoteHosts(unittest.TestCase):
    def test_one_instance_watches_another_until_its_share_is_revoked(self):
        run_inside(self, __file__)


if __name__ == "__main__":
    main(inside)
