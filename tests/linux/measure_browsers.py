"""Measures how real browsers look and behave over AT-SPI on the test desktop, for the Linux
adapter's typed delivery into web fields. Not a test: it prints facts (JSON lines) to be read
and written down.

    /usr/bin/python3 tests/linux/measure_browsers.py [wake|idle|fields|latency|owners ...]
                                                     [--browser chromium|firefox] [--runs N]

  wake     Chromium started fresh: which client requests make its page's accessibles appear,
           and how long after GetAttributes they do (each run a fresh browser).
  fields   the focused <input>, <textarea>, contenteditable, password and datalist fields:
           role, states, interfaces, toolkit, text and caret as AT-SPI answers them; for
           Firefox also whether EditableText InsertText / SetTextContents change the page.
  latency  a key typed through XTest into the focused <input>: time until AT-SPI's text shows
           it (and until the page reports it), over --chars characters.
  idle     Chromium, once awake: is its page's tree still there after 20, 60 and 150 s in
           which no client asked anything?
  owners   /proc/PID/exe of the processes that own the browser's X windows (XRes and
           _NET_WM_PID) and of those registered on the accessibility bus.

One browser runs at a time. AT-SPI is read with plain D-Bus calls on the accessibility bus (GDBus from
python3-gi), so every read goes to the application and nothing else is asked of it.
"""

import argparse
import ctypes
import faulthandler
import json
import os
import signal
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from browsers import ATSPI, AccessibilityBus as Bus, exe_name  # noqa: E402
from desktop import Desktop, wait_for  # noqa: E402

def emit(**fact):
    print(json.dumps(fact, ensure_ascii=False), flush=True)


def describe(bus, acc, app):
    interfaces = bus.interfaces(acc)
    info = {
        "role": bus.role_name(acc),
        "states": bus.states(acc),
        "interfaces": [i.replace(ATSPI, "") for i in interfaces],
        "toolkit": bus.toolkit(app),
        "has_editable_text": ATSPI + "EditableText" in interfaces,
    }
    if ATSPI + "Text" in interfaces:
        info["character_count"] = bus.count(acc)
        info["caret"] = bus.caret(acc)
        t = bus.text(acc)
        info["text"] = t
        info["text_code_points"] = ["U+%04X" % ord(c) for c in t]
    try:
        info["attributes"] = bus.attributes(acc)
    except Exception as e:  # noqa: BLE001
        info["attributes"] = "error: %s" % e
    return info


# --- X helpers (XTest keys, window owners) --------------------------------------------------

class X:
    def __init__(self, display):
        self.xlib = xlib = ctypes.CDLL("libX11.so.6")
        self.xtst = ctypes.CDLL("libXtst.so.6")
        self.xres = ctypes.CDLL("libXRes.so.1")
        xlib.XOpenDisplay.restype = ctypes.c_void_p
        xlib.XOpenDisplay.argtypes = [ctypes.c_char_p]
        xlib.XKeysymToKeycode.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
        xlib.XKeysymToKeycode.restype = ctypes.c_ubyte
        xlib.XStringToKeysym.argtypes = [ctypes.c_char_p]
        xlib.XStringToKeysym.restype = ctypes.c_ulong
        xlib.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
        xlib.XFree.argtypes = [ctypes.c_void_p]
        self.xtst.XTestFakeKeyEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int,
                                                ctypes.c_ulong]
        self.dpy = xlib.XOpenDisplay(display.encode())

    def key(self, name):
        code = self.xlib.XKeysymToKeycode(self.dpy, self.xlib.XStringToKeysym(name.encode()))
        self.xtst.XTestFakeKeyEvent(self.dpy, code, 1, 0)
        self.xtst.XTestFakeKeyEvent(self.dpy, code, 0, 0)
        self.xlib.XSync(self.dpy, 0)

    def client_pid(self, window):
        """The pid of the client that created `window`, from XRes (as the adapter asks)."""
        class Spec(ctypes.Structure):
            _fields_ = [("client", ctypes.c_ulong), ("mask", ctypes.c_uint)]

        class Value(ctypes.Structure):
            _fields_ = [("spec", Spec), ("length", ctypes.c_long), ("value", ctypes.c_void_p)]

        self.xres.XResQueryClientIds.argtypes = [
            ctypes.c_void_p, ctypes.c_long, ctypes.POINTER(Spec), ctypes.POINTER(ctypes.c_long),
            ctypes.POINTER(ctypes.POINTER(Value))]
        self.xres.XResGetClientPid.argtypes = [ctypes.POINTER(Value)]
        self.xres.XResGetClientPid.restype = ctypes.c_int
        self.xres.XResClientIdsDestroy.argtypes = [ctypes.c_long, ctypes.POINTER(Value)]
        spec = Spec(window, 2)  # XRES_CLIENT_ID_PID_MASK
        n = ctypes.c_long()
        values = ctypes.POINTER(Value)()
        if self.xres.XResQueryClientIds(self.dpy, 1, ctypes.byref(spec), ctypes.byref(n),
                                        ctypes.byref(values)) != 0:
            return None
        pid = None
        for i in range(n.value):
            p = self.xres.XResGetClientPid(ctypes.byref(values[i]))
            if p > 0:
                pid = p
        self.xres.XResClientIdsDestroy(n, values)
        return pid


# --- measurements -----------------------------------------------------------------------------

def count_nodes(bus, pid):
    return sum(len(bus.walk(app)) for app in bus.applications(pid))


def for_a_while(seconds, action):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        action()
        time.sleep(0.2)


def focused_entry(bus, pid):
    for app in bus.applications(pid):
        f = bus.focused_in(app)
        if f is not None:
            return f, app
    return None


def wake(desktop, runs):
    """Chromium: which client requests make its page's accessibles appear, and how long after
    GetAttributes they do. Run 0 tries the plain tree reads first, one kind at a time; every
    run then reads the attributes of each of the application's accessibles."""
    bus = Bus(desktop.a11y_address)
    for run in range(runs):
        browser = desktop.browser("chromium")
        try:
            browser.set("input", "a😀b c", caret=3)
            browser.focus("input")
            apps = wait_for(lambda: bus.applications(browser.pid), timeout=60,
                            what="Chromium on the accessibility bus")
            emit(fact="chromium-registered", run=run,
                 page_loaded_s=round(browser.loaded_after, 1), applications=len(apps),
                 nodes=count_nodes(bus, browser.pid),
                 nodes_list=[(bus.role_name(a), a[1]) for a in bus.walk(apps[0])])
            if run == 0:
                def walk_reads():
                    for app in bus.applications(browser.pid):
                        for a in bus.walk(app):
                            bus.role_name(a)
                            bus.states(a)
                            bus.interfaces(a)
                            bus.prop(a, ATSPI + "Accessible", "Name")

                def collection():
                    for app in bus.applications(browser.pid):
                        try:
                            bus.collection_focused(app)
                        except Exception as e:  # noqa: BLE001
                            emit(fact="collection-error", error=str(e))
                            return

                def toolkit():
                    for app in bus.applications(browser.pid):
                        bus.toolkit(app)

                def attributes_of_root():
                    for app in bus.applications(browser.pid):
                        bus.attributes(app)

                def screen_reader():
                    desktop._run("gdbus", "call", "--session", "--dest", "org.a11y.Bus",
                                 "--object-path", "/org/a11y/bus", "--method",
                                 "org.freedesktop.DBus.Properties.Set", "org.a11y.Status",
                                 "ScreenReaderEnabled", "<true>")

                def event_listener():
                    # What a client's atspi_event_listener_register asks of the registry.
                    bus.call(("org.a11y.atspi.Registry", "/org/a11y/atspi/registry"),
                             ATSPI + "Registry", "RegisterEvent",
                             ("(sass)", ("object:state-changed:focused", [], "")))

                for name, action, seconds in (
                        ("walk: children, role, states, interfaces, name", walk_reads, 8),
                        ("registry: RegisterEvent object:state-changed:focused",
                         event_listener, 5),
                        ("session bus: org.a11y.Status ScreenReaderEnabled true",
                         screen_reader, 5),
                        ("application: toolkit name and version", toolkit, 5),
                        ("Collection.GetMatches for the focused state", collection, 8),
                        ("GetAttributes on the application root only", attributes_of_root, 10)):
                    for_a_while(seconds, action)
                    emit(fact="chromium-after", requests=name, seconds=seconds,
                         nodes=count_nodes(bus, browser.pid),
                         focused_text=focused_entry(bus, browser.pid) is not None)
            # GetAttributes on every accessible of the application (the root and its windows),
            # or in odd runs on the application's root alone.
            root_only = run % 2 == 1
            start = time.monotonic()
            called = 0
            for app in bus.applications(browser.pid):
                for a in [app] if root_only else bus.walk(app):
                    try:
                        bus.attributes(a)
                        called += 1
                    except Exception:  # noqa: BLE001
                        pass
            calls_s = time.monotonic() - start
            first_growth = found = None
            while time.monotonic() - start < 30:
                n = count_nodes(bus, browser.pid)
                if first_growth is None and n > 4:
                    first_growth = (time.monotonic() - start, n)
                if focused_entry(bus, browser.pid):
                    found = (time.monotonic() - start, n)
                    break
                time.sleep(0.05)
            time.sleep(5)
            emit(fact="chromium-wake-by-GetAttributes", run=run, root_only=root_only,
                 accessibles_called=called,
                 calls_s=round(calls_s, 3),
                 first_growth_s=first_growth and round(first_growth[0], 2),
                 focused_entry_s=found and round(found[0], 2), nodes_then=found and found[1],
                 nodes_5s_later=count_nodes(bus, browser.pid), load=os.getloadavg()[0])
        finally:
            desktop.apps.remove(browser)
            browser.stop()


def stays_awake(desktop, idles):
    """Chromium: once awake, does its page's tree stay when no client asks anything for a
    while? Idle periods of `idles` seconds, each followed by one count of the tree."""
    bus = Bus(desktop.a11y_address)
    browser = desktop.browser("chromium")
    try:
        browser.focus("input")
        wait_for(lambda: bus.applications(browser.pid), timeout=60, what="Chromium on the bus")
        wake_and_find(bus, browser)
        emit(fact="chromium-awake", nodes=count_nodes(bus, browser.pid))
        for idle in idles:
            time.sleep(idle)
            emit(fact="chromium-after-idle", idle_s=idle, nodes=count_nodes(bus, browser.pid),
                 focused_text=focused_entry(bus, browser.pid) is not None)
    finally:
        desktop.apps.remove(browser)
        browser.stop()


def wake_and_find(bus, browser):
    """The focused text accessible, once the browser's tree is awake."""
    for app in bus.applications(browser.pid):
        for a in bus.walk(app):
            try:
                bus.attributes(a)
            except Exception:  # noqa: BLE001
                pass
    return wait_for(lambda: focused_entry(bus, browser.pid), timeout=60,
                    what="a focused text accessible")


def fields(desktop, kind):
    bus = Bus(desktop.a11y_address)
    browser = desktop.browser(kind)
    try:
        browser.set("input", "a😀b c", caret=3)
        browser.focus("input")
        wait_for(lambda: bus.applications(browser.pid), timeout=60, what="the browser on the bus")
        wake_and_find(bus, browser)
        for field in ("input", "textarea", "editable", "password", "datalist"):
            browser.set(field, "a😀b c", caret=3)
            browser.focus(field)
            time.sleep(0.5)
            acc, app = wake_and_find(bus, browser)
            page = browser.state()["fields"][field]
            emit(fact="field", browser=kind, field=field,
                 page={"value": page["value"], "caret_code_points": page["start"],
                       "caret_utf16": page["start16"]},
                 atspi=describe(bus, acc, app))
        if kind == "firefox":
            firefox_writes(bus, browser)
    finally:
        desktop.apps.remove(browser)
        browser.stop()


def firefox_writes(bus, browser):
    for name, write in (
            ("InsertText 'Z' (length 1) at the caret",
             lambda acc, caret: bus.insert_text(acc, caret, "Z", 1)),
            ("SetTextContents 'replaced'",
             lambda acc, caret: bus.set_text_contents(acc, "replaced"))):
        for field in ("input", "textarea"):
            browser.set(field, "a😀b c", caret=3)
            browser.focus(field)
            time.sleep(0.5)
            acc, _app = wake_and_find(bus, browser)
            caret = bus.caret(acc)
            answer = write(acc, caret)
            time.sleep(2)
            emit(fact="firefox-write", write=name, field=field, caret_used=caret,
                 answered=answer, page_value_after=browser.value(field),
                 atspi_text_after=bus.text(acc))


def latency(desktop, kind, chars):
    bus = Bus(desktop.a11y_address)
    x = X(desktop.display)
    browser = desktop.browser(kind)
    try:
        browser.set("input", "", caret=0)
        browser.focus("input")
        wait_for(lambda: bus.applications(browser.pid), timeout=60, what="the browser on the bus")
        acc, _app = wake_and_find(bus, browser)
        letters = "abcdefghijklmnopqrstuvwxyz"
        atspi_ms = []
        page_ms = []
        polls = 0
        for i in range(chars):
            start = time.monotonic()
            x.key(letters[i % 26])
            while bus.count(acc) != i + 1:
                polls += 1
                if time.monotonic() - start > 10:
                    raise RuntimeError("no change after 10 s")
                time.sleep(0.001)
            atspi_ms.append((time.monotonic() - start) * 1000)
            # The page too (its own value), over the control channel.
            wait_for(lambda: len(browser.value("input")) == i + 1, timeout=10, interval=0.001,
                     what="the page's value")
            page_ms.append((time.monotonic() - start) * 1000)
            time.sleep(0.05)
        value = browser.value("input")
        text = bus.text(acc)
        ordered = sorted(atspi_ms)
        emit(fact="latency", browser=kind, chars=chars,
             atspi_median_ms=round(statistics.median(atspi_ms), 1),
             atspi_p90_ms=round(ordered[int(0.9 * len(ordered))], 1),
             atspi_max_ms=round(max(atspi_ms), 1), atspi_min_ms=round(min(atspi_ms), 1),
             page_median_ms=round(statistics.median(page_ms), 1),
             page_max_ms=round(max(page_ms), 1),
             exact=value == "".join(letters[i % 26] for i in range(chars)) and text == value,
             load=os.getloadavg())
    finally:
        desktop.apps.remove(browser)
        browser.stop()


def owners(desktop, kind):
    bus = Bus(desktop.a11y_address)
    x = X(desktop.display)
    browser = desktop.browser(kind)
    try:
        browser.focus("input")
        wait_for(lambda: bus.applications(browser.pid), timeout=60, what="the browser on the bus")
        out = desktop._run("xdotool", "search", "--onlyvisible", "--name", ".").stdout
        windows = [int(w) for w in out.decode().split()]
        focus = desktop.focused_window()
        owned = {}
        for w in windows:
            xres = x.client_pid(w)
            net = desktop._run("xdotool", "getwindowpid", str(w),
                               check=False).stdout.decode().strip()
            owned["0x%x" % w] = {"xres_pid": xres, "xres_exe": xres and exe_name(xres),
                                 "net_wm_pid": net and int(net)}
        apps = []
        for app in bus.applications():
            p = bus.pid(app[0])
            apps.append({"bus": app[0], "pid": p, "exe": exe_name(p),
                         "name": bus.prop(app, ATSPI + "Accessible", "Name"),
                         "toolkit": bus.toolkit(app)})
        emit(fact="owners", browser=kind, started_pid=browser.pid,
             started_exe=exe_name(browser.pid), focus_window="0x%x" % focus,
             focus_window_xres_pid=x.client_pid(focus), windows=owned,
             accessibility_applications=apps,
             session_processes=sorted((p, exe_name(p)) for p in browser.processes()))
    finally:
        desktop.apps.remove(browser)
        browser.stop()


def main():
    faulthandler.register(signal.SIGUSR1)
    parser = argparse.ArgumentParser()
    parser.add_argument("what", nargs="+", choices=["wake", "idle", "fields", "latency", "owners"])
    parser.add_argument("--browser", action="append", choices=["chromium", "firefox"])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--chars", type=int, default=50)
    args = parser.parse_args()
    kinds = args.browser or ["chromium", "firefox"]
    desktop = Desktop().start()
    try:
        for what in args.what:
            if what == "wake":
                wake(desktop, args.runs)
            elif what == "idle":
                stays_awake(desktop, (20, 60, 150))
            else:
                for kind in kinds:
                    {"fields": fields, "owners": owners}.get(what, lambda d, k: latency(
                        d, k, args.chars))(desktop, kind)
    finally:
        desktop.stop()


if __name__ == "__main__":
    main()
