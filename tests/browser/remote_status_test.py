"""The host's own page in the browser shows the remote-access status the host reports: enabled,
port, addresses and viewers, as launched, with a viewer admitted, and after a person switches it
off and on with the page's button. Runs on the real remote port inside a network namespace the
test made, so the port cannot collide with anything else on the machine."""
import asyncio
import json
import os
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
import websockets  # noqa: E402

from host_harness import APP_ORIGIN, evaluate_in_page, start_with_page  # noqa: E402
from netns_lab import REMOTE_PORT, Lab, admitted_viewer, main, report, run_inside, write_settings  # noqa: E402
from plugin_process_test import Page, sign  # noqa: E402

SHOWN = ("JSON.stringify(['remote-enabled', 'remote-port', 'remote-addresses', 'remote-viewers', 'remote-toggle']"
         ".map(function (id) { return document.getElementById(id).textContent; }))")


def as_shown(status):
    """What the page's remote section reads for a status record."""
    addresses = ", ".join("%s (%s)" % (a["ip"], a["kind"]) for a in status["addresses"]) or "-"
    port = str(status["port"]) if isinstance(status["port"], int) else "-"
    return ["yes" if status["enabled"] else "no", port, addresses, str(len(status["viewers"])),
            "Switch off" if status["enabled"] else "Switch on"]


async def shown_when(debug_port, predicate, timeout=30):
    """The page's remote section once predicate holds for it (evaluations during a reload fail
    and are tried again); the last reading when the time runs out."""
    end = asyncio.get_running_loop().time() + timeout
    shown = None
    while asyncio.get_running_loop().time() < end:
        try:
            shown = json.loads(await evaluate_in_page(debug_port, SHOWN))
            if predicate(shown):
                return shown
        except (KeyError, RuntimeError, OSError, websockets.WebSocketException, asyncio.TimeoutError):
            pass
        await asyncio.sleep(0.1)
    return shown


async def page_request(port, token, type_, payload):
    """One request over a page connection of our own (it takes the place of the browser's page)."""
    async with websockets.connect("ws://127.0.0.1:%d/?token=%s" % (port, token), origin=APP_ORIGIN,
                                  max_size=None, open_timeout=10, ping_interval=None) as ws:
        return await Page(ws).request(type_, payload)


async def scenario(host, port, page_values, address, failures):
    def expect(condition, what):
        if not condition:
            failures.append(what)

    token, installation, session, _ = page_values
    debug_port = int(host.env["QVN_WEBVIEW_DEBUG_PORT"])
    launched = await shown_when(debug_port, lambda s: s[0] == "yes")
    expect(launched is not None and launched[0] == "yes" and launched[1] == str(REMOTE_PORT)
           and address in launched[2] and launched[3] == "0", "as launched the page shows %r" % (launched,))

    # Viewers are only admitted against a revocation list; the page is then loaded again and
    # takes its bridge connection back.
    applied = await page_request(port, token, "applyRpcRevocations", json.loads(sign("revocations", '{"rev": 1}')))
    expect(applied.get("data") == {"ok": True}, "revocation list: %r" % applied)
    await evaluate_in_page(debug_port, "location.reload(), true")
    await shown_when(debug_port, lambda s: s[0] == "yes")

    def view():
        return sign("view", json.dumps({"sub": "user:watcher", "aud": "qvn-install:%s/%s" % (installation, session)}))
    viewer = await admitted_viewer(address, view())
    with_viewer = await shown_when(debug_port, lambda s: s[3] == "1")

    # Switched off and on again with the page's own button.
    await evaluate_in_page(debug_port, "document.getElementById('remote-toggle').click(), true")
    off = await shown_when(debug_port, lambda s: s[0] == "no")
    await viewer.close()
    await evaluate_in_page(debug_port, "document.getElementById('remote-toggle').click(), true")
    on = await shown_when(debug_port, lambda s: s[0] == "yes")
    viewer = await admitted_viewer(address, view())
    again = await shown_when(debug_port, lambda s: s[3] == "1")

    status = await page_request(port, token, "remote.status", None)
    expect("data" in status, "remote.status answers: %r" % status)
    data = status.get("data", {})
    expect(len(data.get("viewers", [])) == 1 and data.get("port") == REMOTE_PORT, "the status: %r" % status)
    expect(again == as_shown(data), "the page shows %r for the status %r" % (again, data))
    expect(with_viewer == as_shown(data), "with a viewer the page showed %r for %r" % (with_viewer, data))
    expect(on == as_shown(dict(data, viewers=[])), "switched on the page showed %r" % (on,))
    expect(off == as_shown(dict(data, enabled=False, port=None, viewers=[])), "switched off the page showed %r" % (off,))
    await viewer.close()


def inside():
    """The body, run as root of a fresh user and network namespace."""
    lab = Lab()
    failures = []
    try:
        address = lab.add_local_address(4)
        host, port, page_values = start_with_page(
            "qv-remote-page-", prepare=lambda h: write_settings(h, {"enabled": True, "port": REMOTE_PORT, "v": 1}))
        try:
            try:
                asyncio.run(asyncio.wait_for(scenario(host, port, page_values, address, failures), 150))
            except (AssertionError, asyncio.TimeoutError, OSError, websockets.WebSocketException) as e:
                failures.append("stopped: %r" % e)
            code = host.stop()
            if code != 0:
                failures.append("exit code %s" % code)
        finally:
            host.remove()
    finally:
        lab.close()
    return report(failures)


class RemoteStatusPage(unittest.TestCase):
    def test_page_shows_the_remote_status(self):
        run_inside(self, __file__)


if __name__ == "__main__":
    main(inside)
