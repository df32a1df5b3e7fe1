"""The built host with Debian's chromium, headless: the page from the embedded pack under the app
origin, the startup script's globals, the console in the log, popouts, the navigation policy,
and how the browser's end ends the host.

The test drives the page through the browser's debugging port, which the host opens when
QVN_WEBVIEW_DEBUG_PORT is set ("0": the browser picks a free port and writes it into the
user-data folder)."""
import asyncio
import base64
import glob
import json
import os
import shutil
import signal
import subprocess
import tempfile
import time
import unittest
import urllib.request

import websockets

BUILD = os.environ["QV_BUILD_DIR"]
ORIGIN = "https://app.quorvane.invalid"
ARTIFACTS = os.path.join(BUILD, "test-artifacts")
CHROMIUM = "/usr/lib/chromium/chromium"


def wait_for(predicate, timeout=30.0):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        value = predicate()
        if value:
            return value
        time.sleep(0.05)
    return None


def process_gone(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] in ("Z", "X")
    except OSError:
        return True


class Cdp:
    """A small DevTools client over one target's web socket."""

    def __init__(self, url):
        self.url = url

    async def _call(self, calls):
        async with websockets.connect(self.url, max_size=64 << 20, open_timeout=10) as ws:
            results = []
            for i, (method, params) in enumerate(calls, start=1):
                await ws.send(json.dumps({"id": i, "method": method, "params": params}))
                while True:
                    msg = json.loads(await asyncio.wait_for(ws.recv(), 20))
                    if msg.get("id") == i:
                        break
                if "error" in msg:
                    raise AssertionError(f"{method}: {msg['error']}")
                results.append(msg.get("result", {}))
            return results

    def call(self, method, params=None):
        return asyncio.run(self._call([(method, params or {})]))[0]

    def evaluate(self, expression, await_promise=False):
        result = self.call("Runtime.evaluate", {"expression": expression, "returnByValue": True,
                                                "awaitPromise": await_promise})
        if "exceptionDetails" in result:
            raise AssertionError(f"{expression}: {result['exceptionDetails']}")
        return result["result"].get("value")


def eventually(cdp, expression, timeout=30.0):
    """True once expression is true in the page; a page between documents is asked again."""
    def check():
        try:
            return cdp.evaluate(expression) is True
        except (AssertionError, OSError, websockets.exceptions.WebSocketException, asyncio.TimeoutError):
            return False
    return bool(wait_for(check, timeout))


def start_xvfb(case, screen):
    """A virtual display of its own (the server picks a free number); fails case without one."""
    read, write = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0", screen, "-nolisten", "tcp"],
                            pass_fds=(write,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write)
    with os.fdopen(read, "rb") as f:
        number = f.readline().strip()
    if not number.isdigit():
        stop(xvfb)
        case.fail("Xvfb gave no display")
    return xvfb, ":" + number.decode()


def stop(proc):
    proc.terminate()
    try:
        proc.wait(timeout=10)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


# Who a desktop test runs the host as when the test itself runs as root ("nobody").
ORDINARY_UID = 65534


class HostCase(unittest.TestCase):
    """Runs the host with a temporary HOME and data folders; extra_env adds to its environment.
    With as_ordinary_user, a test run as root runs the host (and so its browser) as an ordinary
    user that owns the test's folder: as root the browser adds a warning bar above the page and
    runs without its sandbox, which no user sees."""

    as_ordinary_user = False

    def extra_env(self):
        return {}

    def run_as(self):
        """Popen's user arguments for the host: empty unless an ordinary user stands in for root."""
        if not self.as_ordinary_user or os.geteuid() != 0:
            return {}
        # What the test wrote since the last start is the user's too.
        for folder, dirs, files in os.walk(self.root):
            for name in [folder] + [os.path.join(folder, n) for n in dirs + files]:
                os.lchown(name, ORDINARY_UID, ORDINARY_UID)
        return {"user": ORDINARY_UID, "group": ORDINARY_UID, "extra_groups": []}

    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="qv-browser-")
        exe_dir = os.path.join(self.root, "bin")
        os.makedirs(exe_dir)
        self.exe = os.path.join(exe_dir, "quorvane")
        shutil.copy2(os.path.join(BUILD, "quorvane"), self.exe)
        # The modules it loads on first use sit beside it, as installed.
        for module in glob.glob(os.path.join(BUILD, "*.so")):
            shutil.copy2(module, exe_dir)
        self.log = os.path.join(exe_dir, "Quorvane.log")
        # A recording opener stands in for the desktop's browser.
        fake_bin = os.path.join(self.root, "fake-bin")
        os.makedirs(fake_bin)
        self.opened = os.path.join(self.root, "opened.txt")
        with open(os.path.join(fake_bin, "xdg-open"), "w") as f:
            f.write(f'#!/bin/sh\nprintf "%s\\n" "$*" >> "{self.opened}"\n')
        os.chmod(os.path.join(fake_bin, "xdg-open"), 0o755)
        self.data = os.path.join(self.root, "data")
        self.env = dict(os.environ, HOME=os.path.join(self.root, "home"), XDG_DATA_HOME=self.data,
                        XDG_CONFIG_HOME=os.path.join(self.root, "config"),
                        XDG_CACHE_HOME=os.path.join(self.root, "cache"),
                        XDG_RUNTIME_DIR=os.path.join(self.root, "runtime"), TMPDIR=self.root,
                        PATH=fake_bin + os.pathsep + os.environ.get("PATH", "/usr/bin:/bin"),
                        QVN_WEBVIEW_DEBUG_PORT="0")
        for name in ("DISPLAY", "WAYLAND_DISPLAY", "QVN_WEBVIEW_DATA", "QVN_BROWSER_EXECUTABLE",
                     "WEBVIEW2_ADDITIONAL_BROWSER_ARGUMENTS"):
            self.env.pop(name, None)
        self.env.update(self.extra_env())
        os.makedirs(self.env["XDG_RUNTIME_DIR"], mode=0o700)
        self.start()

    def start(self, **extra):
        self.proc = subprocess.Popen([self.exe], env=dict(self.env, **extra), cwd=self.root,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **self.run_as())

    def tearDown(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        # Whatever the host left behind (it should leave nothing) goes with the test.
        for pid in self.browser_pids():
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        shutil.rmtree(self.root, ignore_errors=True)

    def read_log(self):
        try:
            with open(self.log, "rb") as f:
                return f.read().decode("utf-8", "replace")
        except FileNotFoundError:
            return ""

    def wait_log(self, text, timeout=30.0):
        found = wait_for(lambda: text in self.read_log() or self.proc.poll() is not None, timeout)
        self.assertTrue(found and text in self.read_log(), f"no {text!r} in the log:\n{self.read_log()}")

    def browser_pids(self):
        """The browser processes whose command line names this test's user-data folder."""
        pids = []
        marker = os.path.join(self.data, "Quorvane", "WebView2Data").encode()
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open(f"/proc/{entry}/cmdline", "rb") as f:
                    if marker in f.read():
                        pids.append(int(entry))
            except OSError:
                pass
        return pids

    def browser_pid(self):
        """The browser process the host started: the child of the keeper (the host's own child)
        that holds its run."""
        def parent(pid):
            try:
                with open(f"/proc/{pid}/stat") as f:
                    return int(f.read().rsplit(")", 1)[1].split()[1])
            except OSError:
                return None
        for pid in self.browser_pids():
            keeper = parent(pid)
            if keeper and keeper != self.proc.pid and parent(keeper) == self.proc.pid:
                return pid
        return None

    def debug_port(self):
        path = os.path.join(self.data, "Quorvane", "WebView2Data", "DevToolsActivePort")

        def read():
            try:
                with open(path) as f:
                    first = f.readline().strip()
                return int(first) if first.isdigit() else None
            except OSError:
                return None
        port = wait_for(read)
        self.assertTrue(port, "the browser wrote no debugging port:\n" + self.read_log())
        return port

    def targets(self):
        with urllib.request.urlopen(f"http://127.0.0.1:{self.debug_port()}/json/list", timeout=10) as r:
            return [t for t in json.load(r) if t.get("type") == "page"]

    def page(self, predicate=lambda t: True, timeout=30.0):
        target = wait_for(lambda: next((t for t in self.targets() if predicate(t)), None), timeout)
        self.assertTrue(target, f"no such page: {self.targets()}")
        return target

    def main_page(self):
        self.wait_log("[webview] 200 index.html")
        target = self.page(lambda t: t["url"].startswith(ORIGIN + "/index.html")
                           and "popout" not in t["url"])
        cdp = Cdp(target["webSocketDebuggerUrl"])
        # The page's script has run once its state element left "idle".
        self.assertTrue(eventually(cdp, "document.readyState === 'complete' && "
                                        "document.getElementById('state').textContent !== 'idle'"), self.read_log())
        return target, cdp


@unittest.skipUnless(os.access(CHROMIUM, os.X_OK), "chromium is not installed")
class WebViewHostInBrowser(HostCase):
    def test_page_from_pack_with_globals_and_console(self):
        target, cdp = self.main_page()
        # Beside the host's page the browser loads none of its own (its omnibox popups would be
        # two at every start, though the host's windows have no address bar).
        with urllib.request.urlopen(f"http://127.0.0.1:{self.debug_port()}/json/list", timeout=10) as r:
            own = [(t.get("type"), t.get("url")) for t in json.load(r) if t.get("url", "").startswith("chrome://")]
        self.assertEqual(own, [])
        self.assertEqual(cdp.evaluate("location.origin"), ORIGIN)
        self.assertTrue(cdp.evaluate("window.isSecureContext"))
        self.assertIn("[assets] loaded from embedded resource", self.read_log())
        for asset in ("index.html", "style.css", "app.js"):
            self.assertIn(f"[webview] 200 {asset} (", self.read_log())

        g = cdp.evaluate("""({
            port: window.__NATIVE_WS_PORT, token: window.__QVN_NATIVE_WS_TOKEN__,
            installationId: window.__QVN_INSTALLATION_ID__, session: window.__QVN_SESSION_HANDLE__,
            platform: window.__QVN_NATIVE_PLATFORM__, protocol: window.__QVN_NATIVE_WS_PROTOCOL__,
            decode: window.__QVN_NATIVE_DECODE_MODE__, dist: window.__QVN_DIST_SOURCE__,
            popout: window.__QVN_POPOUT_OS_CHROME__, bridged: window.__QVN_CONSOLE_BRIDGED__,
            webview: typeof (window.chrome && window.chrome.webview && window.chrome.webview.postMessage)})""")
        self.assertIsInstance(g["port"], int)
        for key in ("token", "installationId", "session", "platform"):
            self.assertIsInstance(g[key], str, key)
            self.assertTrue(g[key], key)
        self.assertEqual((g["protocol"], g["decode"], g["dist"]), (2, "native-first", "bundle"))
        self.assertIsNone(g.get("popout"))
        self.assertTrue(g["bridged"])
        self.assertEqual(g["webview"], "function")

        # The page's own line reaches the log: connected with the port once the bridge listens,
        # its warning while the host offers no bridge.
        if g["port"] > 0:
            self.wait_log(f"[webview console][log] bridge connected on port {g['port']}")
            self.wait_log("[webview console][log] bridge hello answered")
            self.assertEqual(cdp.evaluate("document.documentElement.getAttribute('data-hello')"), "ok")
            self.assertNotEqual(cdp.evaluate("document.getElementById('hello').textContent"), "-")
            # The page asks "remote.status" after hello; a fresh data folder has remote access off.
            self.assertTrue(eventually(cdp, "document.documentElement.getAttribute('data-remote') === 'off'"))
            self.assertEqual(cdp.evaluate("['remote-enabled', 'remote-port', 'remote-viewers'].map("
                                          "id => document.getElementById(id).textContent)"), ["no", "-", "0"])
        else:
            self.wait_log("[webview console][warn] bridge: no port or token injected")

        # Console values of every kind, and what the page's origin check keeps out.
        cdp.evaluate("console.error('probe', {a: [1, 2n], b: new Uint8Array(3)}, null); 0")
        self.wait_log('[webview console][error] probe {"a":[1,"2"],"b":"Uint8Array(3)"} null')
        cdp.evaluate("window.chrome.webview.postMessage({type: 'console', message: 'object'}); "
                     "window.chrome.webview.postMessage('not json'); console.info('after'); 0")
        self.wait_log("[webview console][info] after")
        self.assertNotIn("] object", self.read_log())

        status = cdp.evaluate("fetch('/missing.txt').then(r => r.status)", await_promise=True)
        self.assertEqual(status, 404)
        self.wait_log("[webview] 404 missing.txt")

        # The bridge token is a secret: no log line carries it.
        self.assertNotIn(g["token"], self.read_log())

        os.makedirs(ARTIFACTS, exist_ok=True)
        shot = cdp.call("Page.captureScreenshot", {"format": "png"})
        png = base64.b64decode(shot["data"])
        self.assertTrue(png.startswith(b"\x89PNG"))
        with open(os.path.join(ARTIFACTS, "webview_main_page.png"), "wb") as f:
            f.write(png)

    def test_the_page_says_hello_while_its_script_is_still_on_its_way(self):
        # The host hears from the page before the page's own layout and scripts: here its
        # script file is held back on reload, and the page's hello must reach the host meanwhile.
        target, cdp = self.main_page()
        self.wait_log("[webview console][log] bridge hello answered")
        hellos = self.read_log().count("[rpc] <- type=hello")

        async def reload_holding_the_script():
            async with websockets.connect(target["webSocketDebuggerUrl"], max_size=64 << 20) as ws:
                async def send(id, method, params=None):
                    await ws.send(json.dumps({"id": id, "method": method, "params": params or {}}))
                await send(1, "Fetch.enable", {"patterns": [{"urlPattern": "*/app.js*", "requestStage": "Request"}]})
                await send(2, "Page.reload")
                paused = None
                while paused is None:
                    msg = json.loads(await asyncio.wait_for(ws.recv(), 20))
                    if msg.get("method") == "Fetch.requestPaused":
                        paused = msg["params"]["requestId"]
                heard = await asyncio.get_running_loop().run_in_executor(
                    None, lambda: wait_for(lambda: self.read_log().count("[rpc] <- type=hello") > hellos, 10))
                await send(3, "Fetch.continueRequest", {"requestId": paused})
                await send(4, "Fetch.disable")
                return bool(heard)

        self.assertTrue(asyncio.run(reload_holding_the_script()),
                        "no hello while the page's script was held:\n" + self.read_log())
        # Once the script arrives, the page takes over the open bridge, shows the answer that
        # came meanwhile and sends the requests that follow it.
        self.assertTrue(wait_for(lambda: self.read_log().count("[webview console][log] bridge hello answered") >= 2),
                        self.read_log())
        self.assertTrue(eventually(cdp, "document.documentElement.getAttribute('data-hello') === 'ok' && "
                                        "document.getElementById('state').textContent === 'connected' && "
                                        "document.documentElement.getAttribute('data-remote') === 'off' && "
                                        "document.getElementById('log-path').textContent !== '-'", timeout=10),
                        self.read_log())
        self.assertNotIn("[uncaught]", self.read_log())

    def test_popout_and_external_navigation(self):
        target, cdp = self.main_page()
        cdp.evaluate(f"window.open('{ORIGIN}/index.html?popout=1', '_blank'); 0")
        self.wait_log(f"[webview] popout deferral completed for {ORIGIN}/index.html?popout=1")
        popout = self.page(lambda t: "popout=1" in t["url"] and t["title"] == "Quorvane")
        pcdp = Cdp(popout["webSocketDebuggerUrl"])
        # The startup script ran before the popout's own script.
        self.assertTrue(eventually(pcdp, "window.__QVN_CONSOLE_BRIDGED__ === true && document.readyState === 'complete'"
                                         " && document.getElementById('window').textContent === 'popout'"), self.read_log())
        self.assertEqual(pcdp.evaluate("[window.__QVN_POPOUT_OS_CHROME__, typeof window.__QVN_NATIVE_WS_TOKEN__,"
                                       " window.__QVN_CONSOLE_BRIDGED__]"), [True, "string", True], self.read_log())
        self.wait_log("[webview] popout NavigationCompleted success=1")
        # No document of the popout ran without the startup script: the page was served once for
        # each window, its first (script-less) load never reached the pack.
        self.assertEqual(self.read_log().count("[webview] 200 index.html ("), 2, self.read_log())
        pcdp.evaluate("console.log('from the popout'); 0")
        self.wait_log("[webview console][log] from the popout")

        # Another site in a new window goes to the desktop's browser; the page stays.
        cdp.evaluate("window.open('https://example.org/new', '_blank'); 0")
        self.wait_log("[webview] opening popup in system browser: https://example.org/new")
        # Leaving the app origin is cancelled and handed over too.
        cdp.evaluate("location.href = 'https://example.org/away'; 0")
        self.wait_log("[webview] opening external navigation in system browser: https://example.org/away")
        self.assertTrue(wait_for(lambda: os.path.exists(self.opened)
                                 and "https://example.org/away" in open(self.opened).read()))
        with open(self.opened) as f:
            self.assertEqual(f.read().split(), ["https://example.org/new", "https://example.org/away"])
        time.sleep(0.5)
        self.assertTrue(cdp.evaluate("location.href").startswith(ORIGIN + "/index.html"))
        self.assertFalse([t for t in self.targets() if "example.org" in t["url"]])

        # Closing the popout's window leaves the host running.
        with urllib.request.urlopen(f"http://127.0.0.1:{self.debug_port()}/json/close/{popout['id']}", timeout=10):
            pass
        time.sleep(0.5)
        self.assertIsNone(self.proc.poll(), self.read_log())
        self.assertTrue(cdp.evaluate("1 + 1") == 2)

    def ends_cleanly_after(self, close):
        target, _ = self.main_page()
        browser = self.browser_pid()
        self.assertTrue(browser)
        close(target)
        self.assertEqual(self.proc.wait(timeout=60), 0, self.read_log())
        self.assertIn("[webview] main browser window closed", self.read_log())
        self.assertNotIn("FATAL", self.read_log())
        # The host took its browser down with it.
        self.assertTrue(wait_for(lambda: process_gone(browser), timeout=20))

    def test_closing_the_main_window_ends_the_host_cleanly(self):
        def close(target):
            with urllib.request.urlopen(f"http://127.0.0.1:{self.debug_port()}/json/close/{target['id']}",
                                        timeout=10):
                pass
        self.ends_cleanly_after(close)

    def test_quitting_the_browser_ends_the_host_cleanly(self):
        # The user quitting the browser closes its window first: a normal end, not a crash.
        def close(target):
            with urllib.request.urlopen(f"http://127.0.0.1:{self.debug_port()}/json/version", timeout=10) as r:
                url = json.load(r)["webSocketDebuggerUrl"]

            async def quit_browser():
                async with websockets.connect(url, open_timeout=10) as ws:
                    await ws.send(json.dumps({"id": 1, "method": "Browser.close"}))
                    try:
                        await asyncio.wait_for(ws.recv(), 10)
                    except (asyncio.TimeoutError, websockets.exceptions.WebSocketException):
                        pass  # the browser may go before it answers
            asyncio.run(quit_browser())
        self.ends_cleanly_after(close)

    def test_browser_dying_ends_the_host_with_failure(self):
        self.main_page()
        browser = self.browser_pid()
        self.assertTrue(browser)
        os.kill(browser, signal.SIGKILL)
        self.assertEqual(self.proc.wait(timeout=60), 1, self.read_log())
        self.assertIn("[webview] FATAL: browser process exited", self.read_log())

    def test_terminate_signal_stops_host_and_browser(self):
        self.main_page()
        browser = self.browser_pid()
        self.proc.send_signal(signal.SIGTERM)
        self.assertEqual(self.proc.wait(timeout=60), 0, self.read_log())
        self.assertTrue(browser)
        self.assertTrue(wait_for(lambda: process_gone(browser), timeout=20))


class BrowserThatDoesNotStart(HostCase):
    """A missing browser, or one that ends at once, is the environment failure: exit 1, logged."""

    def start(self, **extra):
        self.proc = subprocess.Popen(["true"])  # the cases below start the host themselves

    def test_missing_or_failing_browser(self):
        self.proc.wait()
        # A browser that says why it cannot start: its last lines reach the log.
        talking = os.path.join(self.root, "talking-browser")
        with open(talking, "w") as f:
            f.write("#!/bin/sh\necho 'early noise' >&2\necho 'ERROR: cannot use the profile folder' >&2\n"
                    "printf 'no newline at the end' >&2\nexit 1\n")
        os.chmod(talking, 0o755)
        cases = (("missing", os.path.join(self.root, "no-such-browser"), "0x80070002", []),
                 ("failing", "/bin/false", "0x80004005", []),
                 ("failing with a reason", talking, "0x80004005",
                  ["early noise", "ERROR: cannot use the profile folder", "no newline at the end"]))
        for name, executable, hr, said in cases:
            with self.subTest(name):
                HostCase.start(self, QVN_BROWSER_EXECUTABLE=executable)
                self.assertEqual(self.proc.wait(timeout=60), 1, self.read_log())
                log = self.read_log()
                self.assertIn(f"[webview] environment creation failed: hr={hr}", log)
                self.assertIn("[main] message box (no display): Quorvane: Chromium could not be started.", log)
                logged = [line for line in log.splitlines() if line.startswith("[webview] browser stderr: ")]
                self.assertEqual(logged, ["[webview] browser stderr: " + line for line in said], log)

@unittest.skipUnless(os.access(CHROMIUM, os.X_OK) and shutil.which("Xvfb"), "chromium or Xvfb is not installed")
class WebViewHostWithDisplay(HostCase):
    """With a display the browser shows its window; closing it still ends the host cleanly."""

    def setUp(self):
        self.xvfb, self.display = start_xvfb(self, "1280x800x24")
        super().setUp()

    def extra_env(self):
        return {"DISPLAY": self.display}

    def tearDown(self):
        super().tearDown()
        stop(self.xvfb)

    def test_headful_window_serves_the_page_and_closing_it_ends_the_host(self):
        target, cdp = self.main_page()
        self.assertNotIn("headless", self.read_log())
        self.assertEqual(cdp.evaluate("location.origin"), ORIGIN)
        self.assertTrue(cdp.evaluate("typeof window.__QVN_NATIVE_WS_TOKEN__ === 'string'"))
        with urllib.request.urlopen(f"http://127.0.0.1:{self.debug_port()}/json/close/{target['id']}", timeout=10):
            pass
        self.assertEqual(self.proc.wait(timeout=60), 0, self.read_log())
        self.assertIn("[webview] main browser window closed", self.read_log())

if __name__ == "__main__":
    unittest.main(verbosity=2)
