"""One instance watching another for longer than the listener's idle bound: host A runs in a
network namespace of its own with remote access on and the test plugin as its verified source,
host B runs in the test's namespace and its page (python3-websockets in the page's place) asks B to
watch A's share. The watch stays admitted while nothing flows (both hosts run with the idle bound
shortened by its test setting); when A drops it, B never presents the token A already admitted but
asks its page for a renewal and goes on with the renewed one. Every address belongs to namespaces
this test made."""
import asyncio
import json
import os
import re
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from netns_lab import REMOTE_PORT, main, run_inside  # noqa: E402
from plugin_process_test import PLUGIN, sign  # noqa: E402
from remote_hosts_test import (connection_states, last_viewer_count, of_type, open_page, stage_source,  # noqa: E402
                               two_hosts)

SHARE = "watch-share"
CONNECTION = "to-a"
SHORT_IDLE_S = 3


def remote_frames(events, after=0):
    return [f for e in of_type(events[after:], "remote.batch") for f in e["frames"]]


async def seen(page, predicate, timeout=20):
    """Whether the page's events come to satisfy predicate within timeout."""
    try:
        await page.until(predicate, timeout)
        return True
    except (AssertionError, asyncio.TimeoutError):
        return False


def covered(frames):
    """The seqs the frames stand for: their own and those inside their gap notices."""
    seqs = set()
    for f in frames:
        seqs.add(f["seq"])
        gap = f.get("gap")
        if gap:
            seqs.update(range(gap["fromSeq"], gap["toSeq"] + 1))
    return seqs


async def expect_renewal_notice(page_b, expect, target):
    await page_b.until(lambda events: connection_states(events)[-1].get("reason") == "E_TOKEN_REPLAY")
    notice = connection_states(page_b.events)[-1]
    expect(notice == {"type": "remote.connection", "connectionId": CONNECTION, "state": "connecting",
                      "addr": target, "reason": "E_TOKEN_REPLAY"}, "B's page is asked to renew: %r" % notice)


async def renew_and_reconnect(page_b, expect, view_token):
    renewed = await page_b.request("remote.renew", {"connectionId": CONNECTION, "token": view_token()})
    expect(renewed.get("data") == {"ok": True}, "B's page renews: %r" % renewed)
    await page_b.until(lambda events: connection_states(events)[-1]["state"] in ("connected", "closed"))
    expect(connection_states(page_b.events)[-1]["state"] == "connected",
           "B watches again: %r" % connection_states(page_b.events))


async def arm(page_a, expect, sha, installation, session):
    armed = await page_a.request("armPluginRpc", {"pluginId": PLUGIN, "packageSha256": sha, "token": sign(
        "cap", json.dumps({"sub": "user:u1/plugin:" + PLUGIN, "pkg": sha, "cap": "realtime",
                           "aud": "qvn-install:%s/%s" % (installation, session),
                           "scope": ["rt.publish:" + PLUGIN]}))})
    expect(armed.get("data") == {"ok": True, "pluginId": PLUGIN}, "A arms the plugin: %r" % armed)


async def start_plugin(page_a, expect, sha, settings):
    started = await page_a.request("startRealtimePlugin", {
        "pluginId": PLUGIN, "packageSha256": sha, "capability": "realtime", "pluginSettings": settings,
        "launch": {"executable": "bin/plugin", "transport": "stdio"}})
    expect(started.get("data", {}).get("provenance") == "verified", "A starts the plugin: %r" % started)


async def crashing_run(page_a, page_b, expect, a, sha, installation, session, target, view_token, scratch):
    """A's plugin: the first run crashes, the supervisor restarts it, and the new run counts its
    seqs from 1 again. a["crash"] says when A drops B: "after-end", once B saw the first run end
    (the new run then publishes while B is away); "whole-restart", before the first run crashes
    (B is away until the new run, shorter than the first, has published); "before-new-run", once B
    saw the end, and B is back before the new run publishes. In each, B resumes the new run from
    its start and gets no seq of it twice nor the first run again."""
    case = a["crash"]
    hold = os.path.join(scratch, "go")
    settings = {"publish": 5, "hang": True, "crashRuns": 1, "holdFile": hold,
                "marker": os.path.join(scratch, "runs")}
    if case == "whole-restart":
        settings.update(publish=8, restartPublish=3, crashHold=os.path.join(scratch, "crash"))
    first = set(range(1, settings["publish"] + 1))
    new_run = set(range(1, settings.get("restartPublish", settings["publish"]) + 1))

    def touch(path):
        with open(path, "w"):
            pass

    async def new_run_published():
        last = max(new_run)
        await page_a.until(lambda events: sum(f["seq"] == last for f in page_a.frames()) == 2, 30)

    await arm(page_a, expect, sha, installation, session)
    await start_plugin(page_a, expect, sha, settings)
    if case == "whole-restart":
        await page_b.until(lambda events: covered(remote_frames(events)) >= first, 30)
    else:
        await page_b.until(lambda events: of_type(events, "remote.source"), 30)
    expect(covered(remote_frames(page_b.events)) >= first,
           "B got the first run: %r; A's page: %r" % (
               [(e["type"], [f.get("seq") for f in e.get("frames", [])] or e.get("lastSeq")) for e in page_b.events],
               [(e["type"], [f.get("seq") for f in e.get("frames", [])] or e.get("state")) for e in page_a.events]))
    await page_a.request("remote.setEnabled", {"enabled": True})
    await expect_renewal_notice(page_b, expect, target)
    if case == "whole-restart":
        touch(settings["crashHold"])
    if case != "before-new-run":
        touch(hold)
        await new_run_published()
    after = len(page_b.events)
    await renew_and_reconnect(page_b, expect, view_token)
    if case == "before-new-run":
        # Nothing of the ended run comes again; then the new run starts.
        expect(not await seen(page_b, lambda events: remote_frames(events, after), 3),
               "B got the ended run again: %r" % remote_frames(page_b.events, after))
        touch(hold)
        await new_run_published()
    # The new run counts from 1: B resumes it from its start, not from the old run's last seq.
    got = await seen(page_b, lambda events: covered(remote_frames(events, after)) >= new_run)
    expect(got, "B got the restarted run after reconnecting: %r" % remote_frames(page_b.events, after))
    seqs = [f["seq"] for f in remote_frames(page_b.events, after)]
    expect(len(seqs) == len(set(seqs)), "B got no seq twice after reconnecting: %r" % seqs)
    ends = [e.get("lastSeq") for e in of_type(page_b.events[after:], "remote.source")]
    # Away for the whole restart, B learns on its return that the first run ended.
    expect(ends == ([settings["publish"]] if case == "whole-restart" else []),
           "B is told of the first run's end once: %r" % ends)
    await page_a.request("stopRealtimePlugin", {"pluginId": PLUGIN})


async def scenario(a, b, failures, stage, a_address, pages, idle_s, scratch):
    def expect(condition, what):
        if not condition:
            failures.append(what)
        return condition

    a_token, a_installation, a_session, _ = a["page"]
    page_a = await open_page(a["port"], a_token, a["ns"])
    page_b = await open_page(b["port"], b["page"][0])
    pages.update(a=page_a, b=page_b)
    try:
        sha, source = await stage_source(page_a, stage, expect)
        shared = await page_a.request("remote.shareSources", {"shareId": SHARE, "sources": [source]})
        expect(shared.get("data") == {"ok": True}, "A defines the share: %r" % shared)

        def view_token():
            return sign("view", json.dumps({"sub": "user:watcher", "name": "B", "share": SHARE,
                                            "aud": "qvn-install:%s/%s" % (a_installation, a_session)}))
        target = "%s:%d" % (a_address, REMOTE_PORT)
        connected = await page_b.request("remote.connect", {"connectionId": CONNECTION, "token": view_token(),
                                                            "addr": [target]})
        expect(connected.get("data") == {"ok": True, "connectionId": CONNECTION}, "B connects: %r" % connected)
        await page_b.until(lambda events: any(e["state"] in ("connected", "closed")
                                              for e in connection_states(events)))
        if not expect(connection_states(page_b.events)[-1]["state"] == "connected",
                      "B reaches A: %r" % connection_states(page_b.events)):
            return
        await page_a.until(lambda events: last_viewer_count(events) == 1)
        viewer_id = of_type(page_a.events, "remote.listener")[-1]["viewers"][0]["viewerId"]
        if not a["crash"]:
            # The plugin publishes five frames and then nothing.
            await arm(page_a, expect, sha, a_installation, a_session)
            await start_plugin(page_a, expect, sha, {"publish": 5, "hang": True})
            expect(await seen(page_b, lambda events: covered(remote_frames(events)) >= {1, 2, 3, 4, 5}),
                   "B gets A's frames: %r" % remote_frames(page_b.events))

        # Nothing flows for several idle bounds: the watch stays, the same viewer on A's side.
        await asyncio.sleep(idle_s)
        status = await page_a.request("remote.status", {})
        viewers = status.get("data", {}).get("viewers", [])
        expect([v["viewerId"] for v in viewers] == [viewer_id],
               "after %d s of quiet A still serves B as %s: %r" % (idle_s, viewer_id, viewers))
        expect([e["state"] for e in connection_states(page_b.events)] == ["connecting", "connecting", "connected"],
               "B's watch never dropped: %r" % connection_states(page_b.events))
        expect(not re.search(rb"\[remote\] bye ip=", a["host"].read_log()), "A ended no session")
        if not a["restart"]:
            await page_a.request("stopRealtimePlugin", {"pluginId": PLUGIN})
            return

        if a["crash"]:
            await crashing_run(page_a, page_b, expect, a, sha, a_installation, a_session, target, view_token,
                               scratch)
        else:
            # A drops the watch (its listener restarts): B does not present the admitted token
            # again, its page is asked for a renewal, and the renewed token takes B back in.
            await page_a.request("remote.setEnabled", {"enabled": True})
            await expect_renewal_notice(page_b, expect, target)
            await renew_and_reconnect(page_b, expect, view_token)
        log = a["host"].read_log()
        expect(not re.search(rb"result=E_TOKEN_REPLAY", log), "B never presented a used token to A")
        expect(b"[remote] auth lock" not in log, "A locked no address")
        await page_b.request("remote.disconnect", {"connectionId": CONNECTION})
        if not a["crash"]:
            await page_a.request("stopRealtimePlugin", {"pluginId": PLUGIN})
    finally:
        await page_a.ws.close()
        await page_b.ws.close()


def watch(idle_setting, wait_s, restart, crash=False):
    """The body, run as root of a fresh user and network namespace: both hosts with the idle bound
    shortened to idle_setting seconds (None: the real one), B quiet for wait_s; then, with restart,
    A drops the watch (crash: while its plugin's run crashes and is restarted, in the case of
    crashing_run it names)."""
    env = {"QVN_REMOTE_TEST_IDLE_SECONDS": str(idle_setting)} if idle_setting else {}

    def run(a, b, failures, stage, a_address, pages, scratch):
        a.update(restart=restart, crash=crash)
        if idle_setting and ("[remote] test idle bound %d s\n" % idle_setting).encode() not in a["host"].read_log():
            failures.append("A does not take the test idle bound")
        return scenario(a, b, failures, stage, a_address, pages, wait_s, scratch)
    return two_hosts(run, wait_s + 150, **env)


def inside():
    return watch(SHORT_IDLE_S, SHORT_IDLE_S * 4, True)


class RemoteWatch(unittest.TestCase):
    def test_a_watch_outlasts_a_short_idle_bound_renews_its_token_and_follows_a_restarted_run(self):
        run_inside(self, __file__)


if __name__ == "__main__":
    main(inside)
