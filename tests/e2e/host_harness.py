"""The built host in a throw-away folder with its own HOME and data folder, for whole-program tests."""
import asyncio
import contextlib
import glob
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import urllib.request

BUILD = os.environ["QV_BUILD_DIR"]
APP_ORIGIN = "https://app.quorvane.invalid"
SIGNER = os.path.join(BUILD, "tools", "qvn_sign", "qvn_sign")


def wait_for(predicate, timeout=30.0):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(0.05)
    return False


def is_pushed_status(message):
    """True for the remote-access status the host pushes to every page as it connects (and on
    every change): an event, not the reply a test is waiting for."""
    if not isinstance(message, str) or '"remote.listener"' not in message:
        return False
    try:
        value = json.loads(message)
    except ValueError:
        return False
    return isinstance(value, dict) and value.get("type") == "remote.listener" and "id" not in value


async def next_reply(ws, timeout):
    """The next message on a page connection that is not a pushed remote-access status."""
    while True:
        message = await asyncio.wait_for(ws.recv(), timeout)
        if not is_pushed_status(message):
            return message


class Host:
    def __init__(self, prefix="qv-e2e-", **extra_env):
        self.root = tempfile.mkdtemp(prefix=prefix)
        self.exe_dir = os.path.join(self.root, "bin")
        os.makedirs(self.exe_dir)
        self.exe = os.path.join(self.exe_dir, "quorvane")
        shutil.copy2(os.path.join(BUILD, "quorvane"), self.exe)
        # The modules it loads on first use sit beside it, as installed.
        self.installed = [self.exe]
        for module in glob.glob(os.path.join(BUILD, "*.so")):
            self.installed.append(shutil.copy2(module, self.exe_dir))
        self.env = dict(os.environ, HOME=os.path.join(self.root, "home"),
                        XDG_DATA_HOME=os.path.join(self.root, "data"), TMPDIR=self.root, **extra_env)
        self.env.pop("DISPLAY", None)
        self.env.pop("WAYLAND_DISPLAY", None)
        self.log = os.path.join(self.exe_dir, "Quorvane.log")
        self.proc = None
        self._children = []  # what the host had started when it was told to stop

    def start(self, wrapper=()):
        """Starts the host, behind wrapper (e.g. an nsenter prefix) when one is given."""
        self.proc = subprocess.Popen(list(wrapper) + [self.exe], env=self.env, cwd=self.root,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def read_log(self):
        try:
            with open(self.log, "rb") as f:
                return f.read()
        except FileNotFoundError:
            return b""

    def bridge_port(self):
        """The bridge's port once start-up has logged it, else an AssertionError with the log."""
        pattern = rb"\[main\] WsServer listening on 127\.0\.0\.1:(\d+)\n"
        if not wait_for(lambda: re.search(pattern, self.read_log())
                        and b"Running without Windows Package Identity" in self.read_log()):
            raise AssertionError(self.read_log().decode(errors="replace"))
        return int(re.search(pattern, self.read_log()).group(1))

    def stop(self, sig=signal.SIGTERM):
        """Sends the signal and returns the exit code ("killed" when it did not end in time). The
        host's browser outlives it for a moment and writes its profile as it goes: this returns once
        the processes the host had started have ended too, so its folders can be removed."""
        if self.proc.poll() is not None:
            self._wait_for_children()
            return self.proc.returncode
        self._children = descendants(self.proc.pid)
        self.proc.send_signal(sig)
        try:
            code = self.proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            code = "killed"
        self._wait_for_children()
        return code

    def _wait_for_children(self, timeout=20):
        children, self._children = self._children, []
        if not wait_for(lambda: all(ended(pid, start) for pid, start in children), timeout):
            for pid, start in children:
                if not ended(pid, start):
                    os.kill(pid, signal.SIGKILL)
            wait_for(lambda: all(ended(pid, start) for pid, start in children), 10)

    def remove(self):
        """Stops a started host, deletes its folder and returns stop()'s exit code (None if never started)."""
        code = self.stop() if self.proc is not None else None
        shutil.rmtree(self.root, ignore_errors=True)
        return code


def _stat(pid):
    """(parent pid, start time) of a process from /proc, or None once it is gone or a zombie."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except (FileNotFoundError, ProcessLookupError, IndexError):
        return None
    return None if fields[0] == "Z" else (int(fields[1]), fields[19])


def descendants(root):
    """Every living descendant of root as (pid, start time): the start time tells a process that
    ended from a later one that was given its number."""
    stats = {}
    for name in os.listdir("/proc"):
        if name.isdigit():
            stat = _stat(int(name))
            if stat:
                stats[int(name)] = stat
    found, frontier = [], [root]
    while frontier:
        parent = frontier.pop()
        for pid, (ppid, start) in stats.items():
            if ppid == parent:
                found.append((pid, start))
                frontier.append(pid)
    return found


def ended(pid, start):
    stat = _stat(pid)
    return stat is None or stat[1] != start


def gone(pid):
    """The process has ended (a zombie its parent has not reaped yet counts as ended)."""
    return _stat(pid) is None


def start_time(pid):
    """The start time of a living process, for ended(); None once it is gone."""
    stat = _stat(pid)
    return stat[1] if stat else None


def command(server, line):
    """One command to a test server driven a line at a time on stdin (text mode); its one-line answer."""
    server.stdin.write(line + "\n")
    server.stdin.flush()
    return server.stdout.readline().rstrip("\n")


def stop_command_server(server, timeout):
    """Ends such a server with "quit", killed when it has not exited after timeout; its pipes closed."""
    if server.poll() is None:
        server.stdin.write("quit\n")
        server.stdin.flush()
        try:
            server.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait()
    server.stdin.close()
    server.stdout.close()


def start_command_server(test, path, stop_timeout):
    """Such a server started for test and stopped at its clean-up; its process and the port of the
    "port N" line it prints first."""
    server = subprocess.Popen([path], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    test.addCleanup(stop_command_server, server, stop_timeout)
    line = server.stdout.readline()
    test.assertTrue(line.startswith("port "), line)
    return server, int(line.split()[1])


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


async def evaluate_in_page(debug_port, expression, await_promise=False):
    """The value of a JavaScript expression in the host's app page, over the browser's debugging
    port (QVN_WEBVIEW_DEBUG_PORT); the bridge token is only ever handed to the page."""
    import websockets
    with urllib.request.urlopen("http://127.0.0.1:%d/json/list" % debug_port, timeout=10) as r:
        targets = json.load(r)
    page = next(t for t in targets if t["type"] == "page" and t["url"].startswith(APP_ORIGIN + "/"))
    async with websockets.connect(page["webSocketDebuggerUrl"], max_size=None) as cdp:
        await cdp.send(json.dumps({"id": 1, "method": "Runtime.evaluate",
                                   "params": {"expression": expression, "returnByValue": True,
                                              "awaitPromise": await_promise}}))
        while True:
            message = json.loads(await asyncio.wait_for(cdp.recv(), 30))
            if message.get("id") == 1:
                return message["result"]["result"]["value"]


async def read_page(debug_port):
    """What the host's own page was given and answered: [token, installation id, session handle,
    hello text], read over the browser's debugging port."""
    expression = ("JSON.stringify([window.__QVN_NATIVE_WS_TOKEN__, window.__QVN_INSTALLATION_ID__, "
                  "window.__QVN_SESSION_HANDLE__, document.getElementById('hello').textContent])")
    return json.loads(await evaluate_in_page(debug_port, expression))


def start_with_page(prefix, prepare=None, wrapper=(), network=contextlib.nullcontext, **extra_env):
    """A started host whose own page has said hello; returns (host, bridge port, page values).
    The bridge token is only ever handed to the page, so it is read out of the page. prepare(host)
    runs before the start; wrapper prefixes the command; the page is read inside network();
    extra_env is added to the host's environment."""
    with network():
        debug_port = free_port()
    host = Host(prefix=prefix, QVN_WEBVIEW_DEBUG_PORT=str(debug_port), **extra_env)
    try:
        if prepare:
            prepare(host)
        host.start(wrapper)
        ok = wait_for(lambda: b"[webview console][log] bridge hello answered" in host.read_log())
        assert ok, host.read_log().decode(errors="replace")
        port = host.bridge_port()
        with network():
            return host, port, asyncio.run(read_page(debug_port))
    except BaseException:
        host.remove()
        raise


def stop_host(host, *scratch):
    """Ends a host a test class started: stops it, removes its folder and the given scratch folders,
    then fails when the host did not exit with 0."""
    code = host.stop()
    host.remove()
    for folder in scratch:
        shutil.rmtree(folder, ignore_errors=True)
    assert code == 0, "host exit code %r" % code



def page_requests(port, token, requests, timeout=60):
    """Sends each (type, payload) in turn as the page would (authenticated by the token in the path)
    and returns the replies, in the same order; pushed status events are skipped."""
    import websockets

    async def run():
        async with websockets.connect("ws://127.0.0.1:%d/?token=%s" % (port, token), origin=APP_ORIGIN,
                                      max_size=None, open_timeout=10, ping_interval=None) as ws:
            replies = []
            for n, (type_, payload) in enumerate(requests):
                await ws.send(json.dumps({"id": n, "type": type_, "payload": payload}))
                replies.append(json.loads(await next_reply(ws, timeout)))
            return replies
    return asyncio.run(run())


def _ordinary_ids():
    import pwd
    nobody = pwd.getpwnam("nobody")
    return nobody.pw_uid, nobody.pw_gid


def ordinary_user_wrapper():
    """The prefix that starts the host as an ordinary user: root reads and writes every file, so
    the permission errors a user meets are reachable only as someone else. A test run by an
    ordinary user already starts the host as itself (no prefix)."""
    if os.geteuid() != 0:
        return ()
    uid, gid = _ordinary_ids()
    return ("setpriv", "--reuid=%d" % uid, "--regid=%d" % gid, "--clear-groups")


def give_to_ordinary_user(folder):
    """Makes folder and everything in it the ordinary user's (see ordinary_user_wrapper)."""
    if os.geteuid() != 0:
        return
    uid, gid = _ordinary_ids()
    for top, dirs, files in os.walk(folder):
        for name in [top] + [os.path.join(top, n) for n in dirs + files]:
            os.lchown(name, uid, gid)
