"""What LAN viewers of a real host receive from a verified source: a signed plugin that the page
(python3-websockets in the page's place) starts, and viewers on addresses of their own across a
veth pair. A frame too long for the remote wire among small ones, with a live viewer and one that
subscribes from the backlog; a plugin stopped and started again under a share viewer, a viewer
that subscribes again and a share viewer that connects afterwards; a 1 kHz source with viewers that
subscribe late, from the start and at the head; a plugin that crashes and is restarted by its
supervisor. Over all of them: every seq a viewer's subscription covers reaches it exactly once or
lies inside a gap notice it received, and no viewer is dropped. Every address belongs to
namespaces this test made."""
import asyncio
import json
import os
import shutil
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import websockets  # noqa: E402

from host_harness import start_with_page  # noqa: E402
from netns_lab import REMOTE_PORT, Lab, entered, main, report, run_inside, write_settings  # noqa: E402
from plugin_process_test import PLUGIN, make_package, sign  # noqa: E402
from remote_hosts_test import open_page, wait_until as until  # noqa: E402

SHARE = "delivery"
VIEWER_ADDRESSES = ["10.0.1.%d" % n for n in range(1, 9)]


class Viewer:
    """One LAN viewer: everything it was sent, in order, with the subscriptions it made."""

    def __init__(self, name):
        self.name = name
        self.log = []  # ("sub", fromSeq, time) / ("msg", message, time) / ("closed", code, reason)
        self.ws = None
        self.task = None

    async def connect(self, address, local, token):
        self.ws = await websockets.connect("ws://%s:%d/" % (address, REMOTE_PORT), open_timeout=10,
                                           ping_interval=None, max_size=None, local_addr=(local, 0))
        await self.ws.send(json.dumps({"type": "hello", "payload": {"protocol": 2, "role": "viewer",
                                                                    "token": token}}))
        reply = json.loads(await asyncio.wait_for(self.ws.recv(), 10))
        assert reply.get("type") == "hello-ok", (self.name, reply)
        self.task = asyncio.ensure_future(self._read())

    async def _read(self):
        try:
            async for text in self.ws:
                self.log.append(("msg", json.loads(text), time.monotonic()))
        except websockets.ConnectionClosed:
            pass
        self.log.append(("closed", self.ws.close_code, self.ws.close_reason))

    async def subscribe(self, **payload):
        self.log.append(("sub", payload.get("fromSeq", 0), time.monotonic()))
        await self.ws.send(json.dumps({"type": "live.subscribe", "payload": dict(maxHz=20, **payload)}))

    def closed(self):
        return any(kind == "closed" for kind, _, _ in self.log)

    def messages(self, type_=None):
        return [m for kind, m, _ in self.log if kind == "msg" and (type_ is None or m.get("type") == type_)]

    def frames(self):
        return [f for m in self.messages("rt.batch") for f in m["frames"]]

    def ended(self):
        return [m["payload"] for m in self.messages("rt.source")]

    def frames_after_end(self):
        """The frames that came after the last "rt.source" record (all of them when none came): a
        new run's, not a replay of the ended one's backlog."""
        at = max((i for i, (kind, m, _) in enumerate(self.log)
                  if kind == "msg" and m.get("type") == "rt.source"), default=-1)
        return [f for kind, m, _ in self.log[at + 1:] if kind == "msg" and m.get("type") == "rt.batch"
                for f in m["frames"]]

    async def still_served(self):
        """The viewer's session is alive: it answers an unsubscribe."""
        if self.closed():
            return False
        count = len(self.messages("unsubscribe-ok"))
        await self.ws.send(json.dumps({"type": "live.unsubscribe"}))
        return await until(lambda: len(self.messages("unsubscribe-ok")) > count, 10)

    async def close(self):
        if self.ws:
            await self.ws.close()
        if self.task:
            await asyncio.wait_for(self.task, 10)


def coverage_faults(viewer):
    """Where the viewer's messages break the delivery invariant: within each subscription, and each
    run of the source in it (a run ends with its "rt.source" record), every seq from where the
    subscription starts to the last seq it learnt of arrives exactly once or inside a gap notice
    it received; a seq never arrives twice and never out of order."""
    faults = []
    runs = []  # per run: {"from": first seq covered, "got": [seqs], "gaps": [(a, b)], "last": end}

    def new_run(start):
        runs.append({"from": start, "got": [], "gaps": [], "last": None})

    new_run(None)
    for kind, value, _ in viewer.log:
        if kind == "sub":
            new_run(value + 1 if value >= 1 else None)
        elif kind == "msg" and value.get("type") == "rt.batch":
            for f in value["frames"]:
                gap = f.get("gap")
                if gap:
                    runs[-1]["gaps"].append((gap["fromSeq"], gap["toSeq"]))
                runs[-1]["got"].append(f["seq"])
        elif kind == "msg" and value.get("type") == "rt.source":
            gap = value["payload"].get("gap")
            if gap:
                runs[-1]["gaps"].append((gap["fromSeq"], gap["toSeq"]))
            runs[-1]["last"] = value["payload"]["lastSeq"]
            new_run(None)
    for index, run in enumerate(runs):
        got = run["got"]
        if got != sorted(set(got)):
            faults.append("%s run %d: seqs repeated or out of order: %r" % (viewer.name, index, got))
        ends = got + [b for _, b in run["gaps"]] + ([run["last"]] if run["last"] else [])
        if not ends:
            continue
        starts = got + [a for a, _ in run["gaps"]]
        first = run["from"] if run["from"] is not None else min(starts) if starts else 1
        seen = set(got)
        for a, b in run["gaps"]:
            seen.update(range(a, b + 1))
        missing = [s for s in range(first, max(ends) + 1) if s not in seen]
        if missing:
            faults.append("%s run %d: seqs neither received nor in a gap: %s..%s (%d)" % (
                viewer.name, index, missing[0], missing[-1], len(missing)))
    return faults


class Scenario:
    def __init__(self, host_address, page, ids, sha, scratch, failures):
        self.address = host_address
        self.page = page
        self.installation, self.session = ids
        self.sha = sha
        self.source = PLUGIN + "@" + sha
        self.scratch = scratch
        self.failures = failures
        self.viewers = []
        self.next_address = 0
        self.next_subject = 0
        self.scanned, self.seqs = 0, []

    def expect(self, condition, what):
        if not condition:
            self.failures.append(what)
        return condition

    def view_token(self, share=None):
        self.next_subject += 1
        claims = {"sub": "user:viewer%d" % self.next_subject, "name": "viewer%d" % self.next_subject,
                  "aud": "qvn-install:%s/%s" % (self.installation, self.session)}
        if share:
            claims["share"] = share
        return sign("view", json.dumps(claims))

    async def viewer(self, name, share=None):
        v = Viewer(name)
        await v.connect(self.address, VIEWER_ADDRESSES[self.next_address % len(VIEWER_ADDRESSES)],
                        self.view_token(share))
        self.next_address += 1
        self.viewers.append(v)
        return v

    async def start_plugin(self, settings):
        # A stop disarms the plugin's grant: each start is armed afresh, as the page does.
        armed = await self.page.request("armPluginRpc", {"pluginId": PLUGIN, "packageSha256": self.sha, "token": sign(
            "cap", json.dumps({"sub": "user:u1/plugin:" + PLUGIN, "pkg": self.sha, "cap": "realtime",
                               "aud": "qvn-install:%s/%s" % (self.installation, self.session),
                               "scope": ["rt.publish:" + PLUGIN]}))})
        self.expect(armed.get("data") == {"ok": True, "pluginId": PLUGIN}, "the plugin is armed: %r" % armed)
        started = await self.page.request("startRealtimePlugin", {
            "pluginId": PLUGIN, "packageSha256": self.sha, "capability": "realtime", "pluginSettings": settings,
            "launch": {"executable": "bin/plugin", "transport": "stdio"}})
        self.expect(started.get("data", {}).get("provenance") == "verified", "the plugin starts: %r" % started)

    async def stop_plugin(self):
        stopped = await self.page.request("stopRealtimePlugin", {"pluginId": PLUGIN})
        self.expect(stopped.get("data", {}).get("ok") is True, "the plugin stops: %r" % stopped)

    def page_seqs(self):
        """The seqs of the source the page got since the step began (read incrementally: at 1 kHz
        the page's events grow fast)."""
        events = self.page.events
        if self.scanned > len(events):
            self.scanned, self.seqs = 0, []
        for e in events[self.scanned:]:
            if e.get("type") == "rt.batch":
                self.seqs.extend(f["seq"] for f in e["frames"] if f.get("source") == self.source)
        self.scanned = len(events)
        return self.seqs

    async def page_until(self, predicate, timeout=30):
        """Reads the page's events until predicate holds (False after the time-out)."""
        try:
            await self.page.until(lambda events: predicate(), timeout)
            return True
        except AssertionError:
            return False

    async def finish(self, what):
        """Every viewer of the step is still served, its messages keep the invariant; then closed."""
        for v in self.viewers:
            self.expect(await v.still_served(), "%s: %s stays connected: %r" % (what, v.name, v.log[-3:]))
            for fault in coverage_faults(v):
                self.failures.append("%s: %s" % (what, fault))
        for v in self.viewers:
            await v.close()
        self.viewers = []
        await self.stop_plugin()
        self.page.events.clear()
        self.scanned, self.seqs = 0, []

    async def long_frame(self):
        """A frame of about 100 KB among small ones: one viewer live, one from the backlog."""
        live = await self.viewer("live")
        await live.subscribe()
        await self.start_plugin({"publish": 60, "declare": True, "hz": 20, "big": [30, 100000],
                                 "pause": [31, 3000], "hang": True})
        self.expect(await self.page_until(lambda: 31 in self.page_seqs()), "the page gets seq 31")
        backlog = await self.viewer("backlog")
        await backlog.subscribe(fromSeq=0)
        self.expect(await self.page_until(lambda: 60 in self.page_seqs()), "the page gets seq 60")
        for v in (live, backlog):
            await until(lambda: any(f["seq"] == 60 for f in v.frames()) or v.closed(), 15)
            got = {f["seq"] for f in v.frames()}
            self.expect(60 in got, "long frame: %s gets the last frame: %r" % (v.name, v.log[-3:]))
            self.expect(30 not in got and any(f.get("gap", {}).get("fromSeq", 99) <= 30 <= f["gap"]["toSeq"]
                                              for f in v.frames() if f.get("gap")),
                        "long frame: %s is told of seq 30 in a gap: %r" % (v.name, [f.get("gap") for f in v.frames()]))
        await self.finish("long frame")

    async def restart_under_shares(self):
        """A plugin stopped and started again: a share viewer, a viewer that subscribes again and a
        share viewer that connects after the restart all get the new run."""
        shared = await self.page.request("remote.shareSources", {"shareId": SHARE, "sources": [self.source]})
        self.expect(shared.get("data") == {"ok": True}, "the share is defined: %r" % shared)
        share_viewer = await self.viewer("share", SHARE)
        await share_viewer.subscribe()
        again = await self.viewer("again")
        await again.subscribe()
        await self.start_plugin({"publish": 20, "declare": True, "hz": 20, "hang": True})
        await until(lambda: len(share_viewer.frames()) and share_viewer.frames()[-1]["seq"] == 20, 15)
        await self.stop_plugin()
        self.expect(await until(lambda: share_viewer.ended() and again.ended(), 10),
                    "restart: the first run's end reaches the viewers")
        self.page.events.clear()
        self.scanned, self.seqs = 0, []
        await self.start_plugin({"publish": 20, "declare": True, "hz": 20, "hang": True})
        await again.subscribe(fromSeq=0)
        later = await self.viewer("later share", SHARE)
        await later.subscribe()
        for v in (share_viewer, again, later):
            await until(lambda: any(f["seq"] == 20 for f in v.frames_after_end()), 15)
            after_end = v.frames_after_end()
            self.expect(any(f["seq"] == 20 for f in after_end),
                        "restart: %s gets the new run up to seq 20: %r" % (v.name, [f["seq"] for f in after_end]))
        await self.finish("restart")
        revoked = await self.page.request("remote.revoke", {"shareIds": [SHARE]})
        self.expect(revoked.get("data", {}).get("ok") is True, "the share is revoked: %r" % revoked)

    async def late_viewers(self):
        """A 1 kHz source: a viewer subscribing late from the start and one at the head both get
        frames published after they subscribed while the source still runs."""
        await self.start_plugin({"publish": 8000, "declare": True, "hz": 1000, "hang": True})
        self.expect(await self.page_until(lambda: max(self.page_seqs() or [0]) >= 3000),
                    "the page gets 3 s of the 1 kHz source")
        head = max(self.page_seqs())
        from_start = await self.viewer("late from 0")
        at_head = await self.viewer("late at head")
        await from_start.subscribe(fromSeq=0)
        await at_head.subscribe(fromSeq=head)
        ran = await self.page_until(lambda: max(self.page_seqs()) >= 7500)
        self.expect(ran, "the source runs on")
        for v in (from_start, at_head):
            live = [f["seq"] for f in v.frames() if f["seq"] > head + 1000]
            self.expect(live, "late viewer %s gets live frames while the source runs: %r" % (
                v.name, [f["seq"] for f in v.frames()][:20]))
        await self.finish("late viewers")

    async def crash_restart(self):
        """A plugin that crashes and is restarted by its supervisor: the viewer is told the first
        run ended, then gets the new run from its declaration."""
        viewer = await self.viewer("crash")
        await viewer.subscribe()
        marker = os.path.join(self.scratch, "runs")
        await self.start_plugin({"publish": 30, "declare": True, "hz": 20, "marker": marker, "crashRuns": 1,
                                 "hang": True})
        await until(lambda: viewer.ended() and any(f["seq"] == 30 for f in viewer.frames_after_end()), 30)
        ended = viewer.ended()
        self.expect(ended and ended[0]["lastSeq"] == 30 and ended[0]["source"] == self.source,
                    "crash: the first run's end reaches the viewer: %r" % ended)
        if ended:
            after = viewer.frames_after_end()
            self.expect(after and after[0]["seq"] == 1 and "declare" in after[0],
                        "crash: the new run starts with its declaration: %r" % after[:2])
            self.expect(any(f["seq"] == 30 for f in after), "crash: the new run reaches the viewer: %r" % [
                f["seq"] for f in after])
        await self.finish("crash restart")


async def scenario(a, stage, address, scratch, failures, which):
    token, installation, session, _ = a["page"]
    page = await open_page(a["port"], token, a["ns"])
    # The page is read only between the steps' own waits: its messages queue up meanwhile rather
    # than holding up the host's sends.
    page.ws.max_queue = 1 << 20
    try:
        revocations = await page.request("applyRpcRevocations", json.loads(sign("revocations", '{"rev": 1}')))
        assert revocations.get("data") == {"ok": True}, revocations
        staged = await page.request("stagePluginPackage", stage)
        assert staged.get("data", {}).get("ok") is True, staged
        sha = stage["packageSha256"]
        s = Scenario(address, page, (installation, session), sha, scratch, failures)
        for step in which:
            try:
                await getattr(s, step)()
            finally:
                for v in s.viewers:
                    await v.close()
                s.viewers = []
    finally:
        await page.ws.close()


STEPS = ["long_frame", "restart_under_shares", "late_viewers", "crash_restart"]


def inside():
    """The body, run as root of a fresh user and network namespace."""
    which = os.environ.get("QV_DELIVERY_STEPS", ",".join(STEPS)).split(",")
    lab = Lab()
    scratch = tempfile.mkdtemp(prefix="qv-remote-delivery-")
    started = []
    failures = []
    try:
        stage = make_package(os.path.join(scratch, "pkg"))
        enter, ns, address = lab.add_host_namespace(1, VIEWER_ADDRESSES)
        host, port, page = start_with_page(
            "qv-remote-delivery-", prepare=lambda h: write_settings(h, {"enabled": True, "port": REMOTE_PORT, "v": 1}),
            wrapper=enter, network=lambda: entered(ns))
        started.append(host)
        try:
            asyncio.run(asyncio.wait_for(scenario({"port": port, "page": page, "ns": ns}, stage, address, scratch,
                                                  failures, which), 200))
        except (AssertionError, asyncio.TimeoutError, OSError, websockets.WebSocketException) as e:
            failures.append("scenario stopped: %r" % (e,))
        code = host.stop()
        if code != 0:
            failures.append("host exit code %s" % code)
        if failures:
            lines = [line for line in host.read_log().decode(errors="replace").splitlines()
                     if "[remote]" in line or "[plugin]" in line]
            failures.append("remote log: %s" % "\n".join(lines[-40:]))
    finally:
        for h in started:
            h.remove()
        lab.close()
        shutil.rmtree(scratch, ignore_errors=True)
    return report(failures)


class RemoteDelivery(unittest.TestCase):
    def test_viewers_get_every_seq_or_its_gap_through_long_frames_restarts_and_late_subscribes(self):
        run_inside(self, __file__, timeout=300)


if __name__ == "__main__":
    main(inside)
