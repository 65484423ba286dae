"""Opens a page from disk in headless Chromium and reads it as shown.

Standard library only. Two ways in:
  dump_dom(path), screenshot(path, png)  Chromium's own one-shot switches
  Page(path)                             a live page over the DevTools
                                         protocol (--remote-debugging-pipe):
                                         every request it made, what it
                                         shows, keys and hovers, a picture

Chromium comes from Debian (apt-get install -y chromium); CHROMIUM is ""
when it is not installed, and the tests skip.
"""
import base64
import fcntl
import json
import os
import shutil
import subprocess
import tempfile
import threading
import time

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser") or ""
SIZE = (1400, 1000)
TIMEOUT = 60

# The machine's network is closed: without these Chromium keeps trying to
# reach Google's hosts. The proxy (nothing listens on the discard port of
# loopback) makes sure that a request the page should never make goes
# nowhere else, while the request log still records it.
FLAGS = [
    "--headless", "--disable-gpu", "--disable-quic", "--no-first-run",
    "--disable-background-networking", "--disable-component-update", "--disable-sync",
    "--disable-default-apps", "--disable-extensions", "--mute-audio",
    "--proxy-server=http://127.0.0.1:9", "--proxy-bypass-list=<-loopback>",
]
if hasattr(os, "geteuid") and os.geteuid() == 0:
    FLAGS.append("--no-sandbox")


def _command(profile, size, *extra):
    return [CHROMIUM, *FLAGS, f"--user-data-dir={profile}", f"--window-size={size[0]},{size[1]}", *extra]


def _one_shot(path, size, *switches, timeout=TIMEOUT):
    profile = tempfile.mkdtemp(prefix="holm-chromium-")
    try:
        done = subprocess.run(_command(profile, size, *switches, "file://" + os.path.abspath(path)),
                              capture_output=True, timeout=timeout)
        if done.returncode != 0:
            raise RuntimeError(f"chromium ended with {done.returncode}: {done.stderr.decode(errors='replace')[-2000:]}")
        return done.stdout.decode("utf-8", errors="replace")
    finally:
        shutil.rmtree(profile, ignore_errors=True)


def dump_dom(path, budget_ms=5000, size=SIZE):
    """The page's DOM after its scripts ran, as Chromium's --dump-dom prints it."""
    return _one_shot(path, size, f"--virtual-time-budget={budget_ms}", "--dump-dom")


def screenshot(path, png, size=SIZE, budget_ms=5000):
    """A picture of the page's first screen (size in CSS pixels)."""
    _one_shot(path, size, f"--virtual-time-budget={budget_ms}", f"--screenshot={os.path.abspath(png)}")
    return png


class ProtocolError(RuntimeError):
    pass


class Page:
    """One page opened in its own headless Chromium, driven over a pipe.

    Use as a context manager. requests() lists every URL the page asked
    for, the file itself included; loads() counts the document's loads."""

    def __init__(self, path, size=SIZE, timeout=TIMEOUT):
        self.url = "file://" + os.path.abspath(path)
        self.size, self.timeout = size, timeout
        self.events, self._replies = [], {}
        self._lock, self._arrived = threading.Lock(), threading.Condition()
        self._next_id, self.session = 0, None
        self.process = None
        self._profile = tempfile.mkdtemp(prefix="holm-chromium-")

    def __enter__(self):
        try:
            self.open()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()

    def open(self):
        to_browser, self._write = os.pipe()
        self._read, from_browser = os.pipe()

        def on_fds_3_and_4():  # where --remote-debugging-pipe expects its pipe
            # By way of fds above 4, so that neither end is overwritten by the other and
            # both lose close-on-exec (a dup2 onto the same number would keep it).
            high_in = fcntl.fcntl(to_browser, fcntl.F_DUPFD, 10)
            high_out = fcntl.fcntl(from_browser, fcntl.F_DUPFD, 10)
            os.dup2(high_in, 3)
            os.dup2(high_out, 4)

        self._log = tempfile.TemporaryFile()
        self.process = subprocess.Popen(
            _command(self._profile, self.size, "--remote-debugging-pipe", "about:blank"),
            stdin=subprocess.DEVNULL, stdout=self._log, stderr=self._log,
            close_fds=False, preexec_fn=on_fds_3_and_4)
        os.close(to_browser)
        os.close(from_browser)
        threading.Thread(target=self._reader, daemon=True).start()
        target = next(t["targetId"] for t in self.call("Target.getTargets")["targetInfos"] if t["type"] == "page")
        self.session = self.call("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
        for domain in ("Page", "Network", "Runtime"):
            self.call(domain + ".enable")
        # The window's own frame would take its share of the height: the page gets all of it.
        self._viewport(*self.size)
        self.navigate()

    def navigate(self):
        """Loads the file and waits until the page says it is drawn."""
        self.call("Page.navigate", url=self.url)
        self.wait_for("document.documentElement && document.documentElement.dataset.drawn !== undefined")

    def close(self):
        if self.process and self.process.poll() is None:
            try:
                self.call("Browser.close", timeout=5)
                self.process.wait(timeout=10)
            except (ProtocolError, OSError, subprocess.TimeoutExpired):
                self.process.kill()
                self.process.wait()
        for fd in ("_write", "_read"):
            if hasattr(self, fd):
                try:
                    os.close(getattr(self, fd))
                except OSError:
                    pass
                delattr(self, fd)
        if hasattr(self, "_log"):
            self._log.close()
        shutil.rmtree(self._profile, ignore_errors=True)

    # -- the protocol: JSON messages, each ended by a NUL byte

    def _reader(self):
        buffer = b""
        while True:
            try:
                chunk = os.read(self._read, 1 << 16)
            except OSError:
                chunk = b""
            if not chunk:
                break
            buffer += chunk
            *messages, buffer = buffer.split(b"\0")
            for raw in messages:
                message = json.loads(raw)
                with self._arrived:
                    if "id" in message:
                        self._replies[message["id"]] = message
                    else:
                        self.events.append(message)
                    self._arrived.notify_all()
        with self._arrived:
            self._closed = True
            self._arrived.notify_all()

    def call(self, method, timeout=None, **params):
        with self._lock:
            self._next_id += 1
            ident = self._next_id
        message = {"id": ident, "method": method, "params": params}
        if self.session and not method.startswith(("Target.", "Browser.")):
            message["sessionId"] = self.session
        os.write(self._write, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + (timeout or self.timeout)
        with self._arrived:
            while ident not in self._replies:
                left = deadline - time.monotonic()
                if left <= 0 or getattr(self, "_closed", False):
                    raise ProtocolError(f"no answer to {method}")
                self._arrived.wait(left)
            reply = self._replies.pop(ident)
        if "error" in reply:
            raise ProtocolError(f"{method}: {reply['error']}")
        return reply.get("result", {})

    # -- reading the page

    def evaluate(self, expression):
        """The value of a JavaScript expression in the page (awaited, as JSON)."""
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True, awaitPromise=True)
        if "exceptionDetails" in result:
            raise ProtocolError(f"{expression!r}: {result['exceptionDetails']}")
        return result["result"].get("value")

    def wait_for(self, expression, timeout=None):
        deadline = time.monotonic() + (timeout or self.timeout)
        while not self._true(expression):
            if time.monotonic() > deadline:
                raise ProtocolError(f"still not true after {timeout or self.timeout} s: {expression}")
            time.sleep(0.05)

    def _true(self, expression):
        try:
            return self.evaluate(f"Boolean({expression})")
        except ProtocolError:  # the document is being replaced
            return False

    def events_of(self, method):
        with self._arrived:
            return [e["params"] for e in self.events if e.get("method") == method]

    def requests(self):
        """Every URL requested since the browser started, in order."""
        return [e["request"]["url"] for e in self.events_of("Network.requestWillBeSent")]

    def loads(self):
        """How many times the document itself was loaded."""
        return sum(1 for e in self.events_of("Network.requestWillBeSent")
                   if e.get("type") == "Document" and e["request"]["url"].split("#")[0] == self.url)

    def errors(self):
        """Uncaught exceptions and console errors of the page."""
        thrown = [e["exceptionDetails"].get("text", "") + " " + str(e["exceptionDetails"].get("exception", {}).get("description", ""))
                  for e in self.events_of("Runtime.exceptionThrown")]
        logged = [" ".join(str(a.get("value", a.get("description", ""))) for a in e.get("args", []))
                  for e in self.events_of("Runtime.consoleAPICalled") if e.get("type") == "error"]
        return thrown + logged

    def counts(self):
        """The count figures as shown: {result: number}, with "total"."""
        return self.evaluate("""Object.fromEntries([...document.querySelectorAll('[id^="count-"]')].map(e =>
            [e.id === 'count-total' ? 'total' : e.closest('[data-result]').dataset.result,
             Number(e.textContent.replace(/\\D/g, ''))]))""")

    def printers(self):
        """[(address, result)] of every printer cell in page order, as its
        details show them when pointed at."""
        return [tuple(p) for p in self.evaluate("""[...document.querySelectorAll('#cells .cell')].map(c => {
            c.dispatchEvent(new MouseEvent('mouseover', {bubbles: true}));
            const shown = document.getElementById('detail-result').textContent;
            if (shown !== c.dataset.result) throw new Error('cell ' + c.dataset.i + ' is ' + c.dataset.result + ' but shows ' + shown);
            return [document.getElementById('detail-address').textContent, shown];
        })""")]

    def detail(self):
        """The details panel's fields as shown: {address, result, message, ...}."""
        return self.evaluate("""Object.fromEntries([...document.querySelectorAll('#detail [id^="detail-"]')]
            .map(e => [e.id.slice(7), e.textContent]).concat([['i', document.getElementById('detail').dataset.i]]))""")

    def press(self, key):
        """A key pressed and released on the focused element (e.g. "ArrowRight", "Enter")."""
        codes = {"Enter": 13, "ArrowLeft": 37, "ArrowUp": 38, "ArrowRight": 39, "ArrowDown": 40, "Home": 36, "End": 35}
        common = {"key": key, "code": key, "windowsVirtualKeyCode": codes.get(key, 0)}
        self.call("Input.dispatchKeyEvent", type="rawKeyDown", **common)
        self.call("Input.dispatchKeyEvent", type="keyUp", **common)

    def screenshot(self, png, full_page=False, selector=None):
        """A PNG of the viewport, of the whole page, or of the element selector names.

        For the last two the viewport is made as tall as the page first, so
        that the picture has the layout it measures (a taller view drops the
        scroll bar and widens the page)."""
        params = {"format": "png"}
        if full_page or selector:
            height = self.evaluate("document.documentElement.scrollHeight")
            self._viewport(self.size[0], height)
            self.evaluate("new Promise(r => requestAnimationFrame(() => setTimeout(r, 0)))")
            box = self.evaluate(f"(r => ({{x: r.left + scrollX, y: r.top + scrollY, width: r.width, height: r.height}}))"
                                f"(document.querySelector({json.dumps(selector or 'html')}).getBoundingClientRect())")
            params["clip"] = dict(box, scale=1)
        try:
            shot = self.call("Page.captureScreenshot", **params)["data"]
        finally:
            if full_page or selector:
                self._viewport(*self.size)
        with open(png, "wb") as f:
            f.write(base64.b64decode(shot))
        return png

    def _viewport(self, width, height):
        self.call("Emulation.setDeviceMetricsOverride", width=width, height=height,
                  deviceScaleFactor=1, mobile=False)

    def browser_log(self):
        self._log.seek(0)
        return self._log.read().decode(errors="replace")


__all__ = ["CHROMIUM", "Page", "dump_dom", "screenshot", "ProtocolError"]
