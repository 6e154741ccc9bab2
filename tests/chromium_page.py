"""Open an HTML file in headless chromium and look at it, over the DevTools protocol.

``open_page(path)`` starts Debian's ``chromium`` in a private profile, loads the file,
waits until the page says it is drawn (``ready`` names a JavaScript expression that
turns true) and returns what a reader would have met: the JavaScript errors (uncaught
exceptions, ``console.error``, the browser's own error log), a PNG screenshot of the
whole page, the boxes of the page's charts and the milliseconds from the navigation to
"ready".  Nothing is fetched from the network: the browser starts with networking for
files only, so a report that needs the network shows as blank charts and errors.

    python tests/chromium_page.py REPORT.html SHOT.png [--width 1280] [--height 0]

writes the screenshot (``--height 0``: the whole page) and prints the errors and the
load time.
"""

from __future__ import annotations

import base64
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.request
from dataclasses import dataclass, field
from pathlib import Path

__all__ = ["open_page", "Page", "chromium"]

# The charts: every element of this class is expected to hold a drawn chart.
CHART_SELECTOR = ".chart"
READY = "window.korvitReady === true"


def chromium():
    """The chromium executable, or None."""
    for name in ("chromium", "chromium-browser", "google-chrome"):
        found = shutil.which(name)
        if found:
            return found
    return None


@dataclass
class Page:
    errors: list = field(default_factory=list)
    screenshot: bytes = b""
    charts: list = field(default_factory=list)  # {"id", "x", "y", "width", "height"} in page pixels
    load_ms: float = float("nan")
    ready: bool = False
    height: int = 0
    values: list = field(default_factory=list)  # what the ``scripts`` gave


class _DevTools:
    def __init__(self, url, timeout):
        import websocket

        self.ws = websocket.create_connection(
            url, timeout=timeout, suppress_origin=True, enable_multithread=False
        )
        self.next_id = 0
        self.events = []

    def call(self, method, **params):
        self.next_id += 1
        wanted = self.next_id
        self.ws.send(json.dumps({"id": wanted, "method": method, "params": params}))
        while True:
            message = json.loads(self.ws.recv())
            if message.get("id") == wanted:
                if "error" in message:
                    raise RuntimeError(f"{method}: {message['error']}")
                return message.get("result", {})
            if "method" in message:
                self.events.append(message)

    def wait_event(self, method, deadline):
        while time.monotonic() < deadline:
            for k, event in enumerate(self.events):
                if event["method"] == method:
                    return self.events.pop(k)
            self.ws.settimeout(max(0.05, deadline - time.monotonic()))
            try:
                message = json.loads(self.ws.recv())
            except Exception:
                continue
            if "method" in message:
                self.events.append(message)
        return None

    def close(self):
        self.ws.close()


def _errors(events):
    out = []
    for event in events:
        method, params = event["method"], event.get("params", {})
        if method == "Runtime.exceptionThrown":
            details = params.get("exceptionDetails", {})
            text = details.get("exception", {}).get("description") or details.get(
                "text", "exception"
            )
            out.append(f"uncaught: {text}")
        elif method == "Runtime.consoleAPICalled" and params.get("type") in ("error", "assert"):
            args = [a.get("value", a.get("description", "")) for a in params.get("args", [])]
            out.append("console.error: " + " ".join(map(str, args)))
        elif method == "Log.entryAdded" and params.get("entry", {}).get("level") == "error":
            entry = params["entry"]
            out.append(
                f"{entry.get('source', 'log')}: {entry.get('text', '')} {entry.get('url', '')}".strip()
            )
    return out


def open_page(
    path, *, width=1280, height=0, ready=READY, timeout=60.0, executable=None, scripts=()
) -> Page:
    """Load ``path`` in headless chromium and look at it (see the module's docstring).
    ``height`` 0 shoots the whole page.  ``scripts``: JavaScript expressions run one
    after the other once the page is ready (a promise is awaited), before the charts
    are measured and shot; their values are in ``values``."""
    executable = executable or chromium()
    if executable is None:
        raise FileNotFoundError("chromium is not installed")
    profile = tempfile.mkdtemp(prefix="korvit-chromium-")
    process = subprocess.Popen(
        [
            executable,
            "--headless",
            "--no-sandbox",
            "--disable-gpu",
            "--hide-scrollbars",
            "--no-first-run",
            "--no-default-browser-check",
            "--disable-extensions",
            "--disable-background-networking",
            "--disable-component-update",
            "--disable-sync",
            "--proxy-server=http://127.0.0.1:9",
            "--proxy-bypass-list=<-loopback>",
            "--remote-debugging-port=0",
            f"--user-data-dir={profile}",
            f"--window-size={width},{max(height, 900)}",
            "about:blank",
        ],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    tools = None
    try:
        deadline = time.monotonic() + timeout
        port_file = Path(profile) / "DevToolsActivePort"
        while not port_file.is_file() or not port_file.read_text().strip():
            if process.poll() is not None:
                raise RuntimeError(f"chromium ended with status {process.returncode}")
            if time.monotonic() > deadline:
                raise TimeoutError("chromium did not open its DevTools port")
            time.sleep(0.05)
        port = int(port_file.read_text().split()[0])
        with urllib.request.urlopen(f"http://127.0.0.1:{port}/json/list", timeout=timeout) as reply:
            targets = json.loads(reply.read())
        target = next(t for t in targets if t.get("type") == "page")
        tools = _DevTools(target["webSocketDebuggerUrl"], timeout)
        for domain in ("Page", "Runtime", "Log"):
            tools.call(f"{domain}.enable")
        tools.call(
            "Emulation.setDeviceMetricsOverride",
            width=width,
            height=max(height, 900),
            deviceScaleFactor=1,
            mobile=False,
        )
        page = Page()
        started = time.perf_counter()
        tools.call("Page.navigate", url=Path(path).resolve().as_uri())
        tools.wait_event("Page.loadEventFired", deadline)
        while time.monotonic() < deadline:
            answer = tools.call(
                "Runtime.evaluate", expression=f"Boolean({ready})", returnByValue=True
            )
            if answer.get("result", {}).get("value") is True:
                page.ready = True
                break
            time.sleep(0.02)
        page.load_ms = (time.perf_counter() - started) * 1000 if page.ready else float("nan")
        for script in scripts:
            answer = tools.call(
                "Runtime.evaluate", expression=script, returnByValue=True, awaitPromise=True
            )
            if "exceptionDetails" in answer:
                details = answer["exceptionDetails"]
                page.errors.append(
                    "script: "
                    + str(details.get("exception", {}).get("description") or details.get("text"))
                )
            page.values.append(answer.get("result", {}).get("value"))
        boxes = tools.call(
            "Runtime.evaluate",
            returnByValue=True,
            expression=f"""
            JSON.stringify(Array.from(document.querySelectorAll({json.dumps(CHART_SELECTOR)}))
              .filter(e => e.offsetParent !== null)
              .map(e => {{ const r = e.getBoundingClientRect();
                          return {{id: e.id, x: r.left + scrollX, y: r.top + scrollY,
                                   width: r.width, height: r.height}}; }}))""",
        )
        page.charts = json.loads(boxes["result"]["value"])
        full = tools.call(
            "Runtime.evaluate",
            returnByValue=True,
            expression="Math.ceil(document.documentElement.scrollHeight)",
        )
        page.height = height if height else int(full["result"]["value"])
        tools.call(
            "Emulation.setDeviceMetricsOverride",
            width=width,
            height=page.height,
            deviceScaleFactor=1,
            mobile=False,
        )
        time.sleep(0.3)  # the charts redraw at the new size
        shot = tools.call(
            "Page.captureScreenshot",
            format="png",
            clip={"x": 0, "y": 0, "width": width, "height": page.height, "scale": 1},
        )
        page.screenshot = base64.b64decode(shot["data"])
        tools.wait_event("never", time.monotonic() + 0.2)  # late errors
        page.errors += _errors(tools.events)
        return page
    finally:
        if tools is not None:
            tools.close()
        process.terminate()
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
        shutil.rmtree(profile, ignore_errors=True)


def main(argv=None):
    import argparse

    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("html")
    parser.add_argument("png")
    parser.add_argument("--width", type=int, default=1280)
    parser.add_argument("--height", type=int, default=0)
    args = parser.parse_args(argv)
    page = open_page(args.html, width=args.width, height=args.height)
    Path(args.png).write_bytes(page.screenshot)
    print(
        f"ready: {page.ready}, load {page.load_ms:.0f} ms, {len(page.charts)} charts, "
        f"page height {page.height}px, screenshot {os.path.getsize(args.png):,d} bytes"
    )
    for error in page.errors:
        print(f"error: {error}")
    return 0 if page.ready and not page.errors else 1


if __name__ == "__main__":
    sys.exit(main())
