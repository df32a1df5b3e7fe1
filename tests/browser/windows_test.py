"""The host's windows as a user sees them, headful under Xvfb with openbox as the window manager
and the host run as an ordinary user: the main app window, popouts, their title bars and class,
titles, always-on-top, fullscreen, the foreground window and blocked schemes.

The window tree is read with xprop and xwininfo (an independent view of what is on screen); the
page is driven through the browser's debugging port (QVN_WEBVIEW_DEBUG_PORT=0), clicks are real
input events sent through the browser's protocol."""
import asyncio
import base64
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from webview_host_test import (ARTIFACTS, CHROMIUM, ORIGIN, Cdp, HostCase, eventually, start_xvfb, stop,  # noqa: E402
                               wait_for)

TOOLS = ("Xvfb", "openbox", "xprop", "xwininfo", "xdotool")

# What the host's windows are known by on the desktop (the second, class, part of WM_CLASS), and
# the ground colour of the host's icon (web/icon.svg), as an opaque ARGB pixel of _NET_WM_ICON.
PROGRAM_CLASS = "Quorvane"
ICON_GROUND = 0xFF1F6F5C
FULLSCREEN = "_NET_WM_STATE_FULLSCREEN"

# The desktop's openers, as the browser or the host could run them: each records who ran it.
OPENERS = ("xdg-open", "xdg-email", "gio", "gnome-open", "kde-open", "kde-open5", "exo-open")

BRIDGE_CLIENT = """(async () => {
  const ws = new WebSocket('ws://127.0.0.1:' + window.__NATIVE_WS_PORT + '/?protocol=' + window.__QVN_NATIVE_WS_PROTOCOL__);
  await new Promise((ok, fail) => { ws.onopen = ok; ws.onerror = () => fail(new Error('ws error')); });
  let next = 0; const waiting = {};
  ws.onmessage = (e) => { const m = JSON.parse(e.data); if (waiting[m.id]) { waiting[m.id](m); delete waiting[m.id]; } };
  window.__qvCall = (type, payload) => new Promise((ok) => {
    const id = 't' + (next++); waiting[id] = ok; ws.send(JSON.stringify({id, type, payload}));
  });
  return await window.__qvCall('hello', {token: window.__QVN_NATIVE_WS_TOKEN__, protocol: window.__QVN_NATIVE_WS_PROTOCOL__});
})()"""


class Cdp2(Cdp):
    """The page client plus input events and screenshots."""

    def click(self, selector):
        box = self.evaluate(f"(() => {{ const r = document.querySelector({json.dumps(selector)}).getBoundingClientRect();"
                            " return [r.left + r.width / 2, r.top + r.height / 2]; })()")
        x, y = box
        base = {"x": x, "y": y, "button": "left", "clickCount": 1}
        asyncio.run(self._call([("Input.dispatchMouseEvent", dict(base, type="mouseMoved")),
                                ("Input.dispatchMouseEvent", dict(base, type="mousePressed")),
                                ("Input.dispatchMouseEvent", dict(base, type="mouseReleased"))]))

    def screenshot(self, name):
        os.makedirs(ARTIFACTS, exist_ok=True)
        png = base64.b64decode(self.call("Page.captureScreenshot", {"format": "png"})["data"])
        with open(os.path.join(ARTIFACTS, name), "wb") as f:
            f.write(png)
        return png

    def request(self, type_, payload):
        return self.evaluate(f"window.__qvCall({json.dumps(type_)}, {json.dumps(payload)})", await_promise=True)


@unittest.skipUnless(os.access(CHROMIUM, os.X_OK) and all(shutil.which(t) for t in TOOLS),
                     "chromium, Xvfb, openbox, x11-utils or xdotool is not installed")
class WindowsOnADesktop(HostCase):
    as_ordinary_user = True

    def setUp(self):
        self.xvfb, self.display = start_xvfb(self, "1600x1000x24")
        # On a saturated machine the window manager can take long to claim the screen, or give up
        # when the display was slow to answer; it gets a second start before the test fails.
        for _ in range(2):
            complaint = tempfile.TemporaryFile()
            self.wm = subprocess.Popen(["openbox", "--sm-disable"], env=dict(os.environ, DISPLAY=self.display),
                                       stdout=subprocess.DEVNULL, stderr=complaint)
            started = wait_for(lambda: self.root_prop("_NET_SUPPORTING_WM_CHECK") or self.wm.poll() is not None, 60)
            if started and self.wm.poll() is None:
                complaint.close()
                break
            stop(self.wm)
            complaint.seek(0)
            said = complaint.read().decode(errors="replace")
            complaint.close()
        else:
            stop(self.xvfb)
            self.fail("openbox did not start: " + said)
        super().setUp()

    def start(self, **extra):
        fake_bin = os.path.join(self.root, "fake-bin")
        for name in OPENERS:
            path = os.path.join(fake_bin, name)
            # Names who started it: the parent of its parent (its parent is the keeper holding its run).
            with open(path, "w") as f:
                f.write(f'#!/bin/sh\nprintf "%s %s %s\\n" "$(cut -d" " -f4 /proc/$PPID/stat)" "{name}" "$*"'
                        f' >> "{self.opened}"\n')
            os.chmod(path, 0o755)
        super().start(**extra)

    def tearDown(self):
        super().tearDown()
        stop(self.wm)
        stop(self.xvfb)

    def extra_env(self):
        return {"DISPLAY": self.display}

    # ---- the window tree, as xprop and xwininfo see it ----

    def x(self, *args):
        r = subprocess.run(args, env=dict(os.environ, DISPLAY=self.display), capture_output=True, text=True, timeout=20)
        return r.stdout if r.returncode == 0 else ""

    def root_prop(self, name):
        out = self.x("xprop", "-root", name)
        return re.findall(r"0x[0-9a-f]+", out.split("#", 1)[1]) if "#" in out else []

    def prop(self, window, name):
        out = self.x("xprop", "-id", window, name)
        return out.split("=", 1)[1].strip() if "=" in out else None

    def title(self, window):
        value = self.prop(window, "_NET_WM_NAME")
        return json.loads(value) if value else None

    def states(self, window):
        value = self.prop(window, "_NET_WM_STATE") or ""
        return {s.strip() for s in value.split(",") if s.strip()}

    def geometry(self, window):
        out = self.x("xwininfo", "-id", window)
        get = lambda key: int(re.search(key + r":\s+(-?\d+)", out).group(1))  # noqa: E731
        return {"width": get("Width"), "height": get("Height"), "viewable": "IsViewable" in out}

    def origin(self, window):
        """Where the window's client area is on the screen (x, y)."""
        out = self.x("xwininfo", "-id", window)
        return tuple(int(re.search(r"Absolute upper-left %s:\s+(-?\d+)" % axis, out).group(1)) for axis in "XY")

    def frame_extents(self, window):
        """The window manager's frame around the window: [left, right, top, bottom], None when it
        has not framed it."""
        value = self.prop(window, "_NET_FRAME_EXTENTS")
        return [int(v) for v in value.split(",")] if value else None

    def asks_for_no_decorations(self, window):
        # _MOTIF_WM_HINTS: flags, functions, decorations, ...; flag 2 says the decorations field counts.
        value = self.prop(window, "_MOTIF_WM_HINTS")
        hints = [int(v, 16) for v in value.split(",")] if value else []
        return len(hints) >= 3 and bool(hints[0] & 2) and hints[2] == 0

    def wm_class(self, window):
        value = self.prop(window, "WM_CLASS")
        return re.findall(r'"((?:[^"\\]|\\.)*)"', value) if value else []

    def icon_pixels(self, window):
        """The ARGB pixels of every size in the window's _NET_WM_ICON (width, height, pixels, ...)."""
        out = self.x("xprop", "-notype", "-id", window, "32c", "_NET_WM_ICON")
        values = [int(v) for v in re.findall(r"\d+", out.split("=", 1)[1])] if "=" in out else []
        pixels, i = [], 0
        while i + 2 <= len(values):
            width, height = values[i], values[i + 1]
            pixels += values[i + 2:i + 2 + width * height]
            i += 2 + width * height
        return pixels

    def assert_named_as_the_program(self, window, what):
        self.assertEqual(self.wm_class(window)[1:], [PROGRAM_CLASS], f"{what}: {self.wm_class(window)}")
        self.eventually_x(lambda: ICON_GROUND in self.icon_pixels(window), f"{what}: not the host's icon")

    def assert_framed_on_screen(self, window, what):
        """A title bar of the window manager's (top extent) with all of the frame on the screen."""
        def framed():
            extents = self.frame_extents(window)
            if not extents or extents[2] <= 0:
                return False
            x, y = self.origin(window)
            return x - extents[0] >= 0 and y - extents[2] >= 0
        self.eventually_x(framed, lambda: f"{what}: frame {self.frame_extents(window)} at {self.origin(window)}, "
                                          f"no decorations asked: {self.asks_for_no_decorations(window)}")
        self.assertFalse(self.asks_for_no_decorations(window), what)

    def browser_windows(self, count, timeout=30.0):
        """The browser's top-level client windows, oldest first, once there are count of them."""
        browser = wait_for(self.browser_pid, timeout)
        self.assertTrue(browser)

        def ours():
            found = [w for w in self.root_prop("_NET_CLIENT_LIST") if self.prop(w, "_NET_WM_PID") == str(browser)]
            return found if len(found) == count else None
        windows = wait_for(ours, timeout)
        self.assertTrue(windows, f"not {count} browser windows: {self.root_prop('_NET_CLIENT_LIST')}\n" + self.read_log())
        return sorted(windows, key=lambda w: int(w, 16))

    def active(self):
        found = self.root_prop("_NET_ACTIVE_WINDOW")
        return found[0] if found else None

    def eventually_x(self, check, message, timeout=20.0):
        self.assertTrue(wait_for(check, timeout), message() if callable(message) else message)

    # ---- steps ----

    def main(self):
        target, _ = self.main_page()
        return target, Cdp2(target["webSocketDebuggerUrl"])

    def open_popout(self, cdp):
        cdp.evaluate(f"window.open('{ORIGIN}/index.html?popout=1', '_blank'); 0")
        self.wait_log(f"[webview] popout deferral completed for {ORIGIN}/index.html?popout=1")
        target = self.page(lambda t: "popout=1" in t["url"])
        pcdp = Cdp2(target["webSocketDebuggerUrl"])
        self.assertTrue(eventually(pcdp, "document.readyState === 'complete' && "
                                         "document.getElementById('window').textContent === 'popout'"), self.read_log())
        return target, pcdp

    def test_main_window_and_popout(self):
        _, cdp = self.main()
        [main] = self.browser_windows(1)
        self.eventually_x(lambda: self.title(main) == "Quorvane", lambda: f"main title {self.title(main)!r}")
        # Only the page: what the browser draws above it is its app-window frame, not the tab
        # strip, address bar and menus of a browser window (143 px).
        g = self.geometry(main)
        inner = cdp.evaluate("[innerWidth, innerHeight, document.visibilityState]")
        self.assertEqual(inner[0], g["width"])
        self.assertLessEqual(g["height"] - inner[1], 60, (g, inner))
        # The document's own title does not replace the host's.
        cdp.evaluate("document.title = 'Something else'; 0")
        time.sleep(1)
        self.eventually_x(lambda: self.title(main) == "Quorvane", lambda: f"main title {self.title(main)!r}")
        cdp.screenshot("windows_main.png")

        _, pcdp = self.open_popout(cdp)
        main2, popout = self.browser_windows(2)
        self.assertEqual(main2, main)
        pg = self.geometry(popout)
        self.assertEqual((pg["width"], pg["height"]), (1100, 720))
        self.eventually_x(lambda: self.title(popout) == "Quorvane", lambda: f"popout title {self.title(popout)!r}")
        pcdp.evaluate("document.title = 'Scope A'; 0")
        self.eventually_x(lambda: self.title(popout) == "Scope A", lambda: f"popout title {self.title(popout)!r}")
        pcdp.evaluate("document.title = ''; 0")
        time.sleep(1)
        self.assertEqual(self.title(popout), "Scope A", "an empty document title keeps the last one")
        # The main window keeps its size and stays visible.
        self.assertEqual(self.geometry(main), g)
        self.assertEqual(cdp.evaluate("document.visibilityState"), "visible")
        self.assertEqual(self.title(main), "Quorvane")
        pcdp.screenshot("windows_popout.png")

        # Closing the popout leaves the main window alone.
        pcdp.evaluate("window.close(); 0")
        self.browser_windows(1)
        # A link that names a new window opens one of its own too, not a tab of a browser window.
        cdp.evaluate(f"document.querySelector('main').insertAdjacentHTML('afterbegin', "
                     f"'<p><a id=\"blank\" target=\"_blank\" href=\"{ORIGIN}/index.html?popout=1&via=link\" "
                     f"style=\"font-size:40px\">new window</a></p>'); 0")
        cdp.click("#blank")
        self.wait_log("[webview] popout deferral completed for " + ORIGIN + "/index.html?popout=1&via=link")
        _, linked = self.browser_windows(2)
        lg = self.geometry(linked)
        self.assertEqual((lg["width"], lg["height"]), (1100, 720))
        lcdp = Cdp2(self.page(lambda t: "via=link" in t["url"])["webSocketDebuggerUrl"])
        self.assertTrue(eventually(lcdp, "document.readyState === 'complete'"))
        self.assertLessEqual(lg["height"] - lcdp.evaluate("innerHeight"), 60, "a tab strip and toolbar above the page")
        self.assertEqual(self.geometry(main), g)
        self.assertIsNone(self.proc.poll(), self.read_log())

    def test_always_on_top_and_fullscreen_follow_the_chosen_window(self):
        _, cdp = self.main()
        _, pcdp = self.open_popout(cdp)
        # The test's own page connection, made last: a newer one (the popout's) would replace it.
        hello = cdp.evaluate(BRIDGE_CLIENT, await_promise=True)
        self.assertIn("data", hello, hello)
        main, popout = self.browser_windows(2)
        pcdp.evaluate("document.title = 'Scope B'; 0")
        self.eventually_x(lambda: self.title(popout) == "Scope B", "popout title")
        above = "_NET_WM_STATE_ABOVE"

        # By name.
        reply = cdp.request("setAlwaysOnTop", {"name": "Scope B", "alwaysOnTop": True})
        self.assertEqual(reply.get("data"), {"success": True, "alwaysOnTop": True}, reply)
        self.eventually_x(lambda: above in self.states(popout), lambda: f"popout state {self.states(popout)}")
        self.assertNotIn(above, self.states(main))
        self.assertEqual(cdp.request("isAlwaysOnTop", {"name": "Scope B"}).get("data", {}).get("alwaysOnTop"), True)
        cdp.request("setAlwaysOnTop", {"name": "Scope B", "alwaysOnTop": False})
        self.eventually_x(lambda: above not in self.states(popout), "popout still above")

        # The foreground window when the name matches none: first the main window, then the popout.
        for target, window, other in ((cdp, main, popout), (pcdp, popout, main)):
            target.call("Page.bringToFront")
            self.eventually_x(lambda: self.active() == window, lambda: f"active {self.active()} not {window}")
            cdp.request("setAlwaysOnTop", {"name": "no such window", "alwaysOnTop": True})
            self.eventually_x(lambda: above in self.states(window), lambda: f"{window} state {self.states(window)}")
            self.assertNotIn(above, self.states(other))
            cdp.request("setAlwaysOnTop", {"name": "no such window", "alwaysOnTop": False})
            self.eventually_x(lambda: above not in self.states(window), "still above")

        # Fullscreen acts on the focused popout.
        self.assertEqual(self.active(), popout)
        self.assertEqual(cdp.request("toggleFullscreenNative", {}).get("data"), {"success": True})
        self.eventually_x(lambda: "_NET_WM_STATE_FULLSCREEN" in self.states(popout),
                          lambda: f"popout state {self.states(popout)}")
        self.assertNotIn("_NET_WM_STATE_FULLSCREEN", self.states(main))

    def test_every_window_has_a_title_bar_on_the_screen_and_the_programs_name_and_icon(self):
        _, cdp = self.main()
        [main] = self.browser_windows(1)
        self.assert_framed_on_screen(main, "main window")
        self.assert_named_as_the_program(main, "main window")
        _, pcdp = self.open_popout(cdp)
        _, popout = self.browser_windows(2)
        self.assert_framed_on_screen(popout, "popout")
        self.assert_named_as_the_program(popout, "popout")
        # The page starts below the title bar, not under it.
        self.assertEqual(cdp.evaluate("innerHeight"), self.geometry(main)["height"])
        cdp.screenshot("windows_framed_main.png")

    def press(self, window, key):
        """A real key press on the window, as the user's keyboard makes one."""
        self.x("xdotool", "windowactivate", "--sync", window)
        self.eventually_x(lambda: self.active() == window, lambda: f"active {self.active()} not {window}")
        self.x("xdotool", "key", "--clearmodifiers", key)

    def test_fullscreen_follows_the_window_through_the_browsers_own_key(self):
        _, cdp = self.main()
        hello = cdp.evaluate(BRIDGE_CLIENT, await_promise=True)
        self.assertIn("data", hello, hello)
        [main] = self.browser_windows(1)
        self.x("xdotool", "windowactivate", "--sync", main)

        def toggle():
            self.assertEqual(cdp.request("toggleFullscreenNative", {}).get("data"), {"success": True})

        def expect(on, step):
            self.eventually_x(lambda: (FULLSCREEN in self.states(main)) == on,
                              lambda: f"{step}: fullscreen {not on}, state {self.states(main)}\n" + self.read_log())
        # The host's toggle, then the browser's own key, in every order: each toggle does what its
        # name says from the state the window is really in.
        steps = (("toggle", True), ("F11", False), ("toggle", True), ("toggle", False),
                 ("F11", True), ("toggle", False), ("toggle", True), ("F11", False))
        for i, (step, on) in enumerate(steps):
            toggle() if step == "toggle" else self.press(main, step)
            expect(on, f"step {i} ({step})")
        # Out of fullscreen the title bar is back on the screen.
        self.assert_framed_on_screen(main, "main window after fullscreen")
        self.assertIsNone(self.proc.poll(), self.read_log())

    def test_a_second_start_brings_the_main_window_to_the_front(self):
        _, cdp = self.main()
        self.open_popout(cdp)
        main, popout = self.browser_windows(2)
        self.x("xdotool", "windowactivate", "--sync", popout)
        self.eventually_x(lambda: self.active() == popout, lambda: f"active {self.active()} not the popout")
        # The second start's dialog is recorded instead of waiting for a click.
        said = os.path.join(self.root, "dialog.txt")
        zenity = os.path.join(self.root, "fake-bin", "zenity")
        with open(zenity, "w") as f:
            f.write(f'#!/bin/sh\nprintf "%s\\n" "$*" >> "{said}"\n')
        os.chmod(zenity, 0o755)
        second = subprocess.run([self.exe], env=self.env, cwd=self.root, capture_output=True, timeout=60,
                                **self.run_as())
        self.assertEqual(second.returncode, 1, second.stderr)
        self.assertIn(b"is already running", second.stderr)
        with open(said) as f:
            dialog = f.read()
        self.assertIn("--info", dialog)
        self.assertIn("is already running", dialog)
        self.eventually_x(lambda: self.active() == main, lambda: f"active {self.active()} not the main window {main}")
        self.assertEqual(self.browser_windows(2), [main, popout])
        self.assertIsNone(self.proc.poll(), self.read_log())

    def test_blocked_schemes_open_nothing(self):
        _, cdp = self.main()
        [main] = self.browser_windows(1)
        links = [("mailto", "mailto:someone@example.org", "[webview] blocked navigation: mailto:someone@example.org"),
                 ("tel", "tel:+15550100", "[webview] blocked navigation: tel:+15550100"),
                 ("custom", "qvtest-scheme://thing", "[webview] blocked navigation: qvtest-scheme://thing"),
                 ("external", "https://example.org/ext",
                  "[webview] opening external navigation in system browser: https://example.org/ext")]
        html = "".join(f'<p><a id="{n}" href="{u}" style="font-size:40px">{n}</a></p>' for n, u, _ in links)
        cdp.evaluate(f"document.querySelector('main').insertAdjacentHTML('afterbegin', {json.dumps(html)}); 0")
        for name, _, line in links:
            with self.subTest(name):
                cdp.click("#" + name)
                self.wait_log(line)
                time.sleep(1)  # a browser that hands the URI on does so at once
        # Only the host's policy opened something: the external link, once, by the host itself.
        self.assertTrue(wait_for(lambda: os.path.exists(self.opened)), self.read_log())
        time.sleep(1)
        with open(self.opened) as f:
            lines = f.read().splitlines()
        self.assertEqual(lines, [f"{self.proc.pid} xdg-open https://example.org/ext"])
        # No dialog offers to open a blocked URI, and the page stayed where it was.
        self.assertEqual(self.browser_windows(1), [main])
        self.assertTrue(cdp.evaluate("location.href").startswith(ORIGIN + "/index.html"))
        cdp.screenshot("windows_after_blocked_links.png")


if __name__ == "__main__":
    unittest.main()
