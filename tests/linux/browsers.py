"""Real browsers on the test desktop (desktop.py), started as a user's browser is: no
accessibility command-line flag, a fresh profile of their own, nothing fetched from the
network. Each shows one test page (pages/fields.html) that obeys the test process over plain
HTTP on 127.0.0.1 and reports its own fields' values, so a test checks what the page really
holds without going through the accessibility interface.

    browser = desktop.browser("chromium")        # or "firefox"
    browser.set("input", "a😀b c", caret=3)       # positions in code points
    browser.focus("input")                       # the page's focus and the X focus
    browser.value("input")                       # the page's own value
    browser.state()                              # every field, the focus, the page's event log

A browser runs in a session of its own (setsid at start), so every process it starts, its
renderers and helpers, stays in the process group whose id is the browser's pid: `stop` ends
the browser by its pid and then whatever is left of that group, and checks that nothing of
it is left.
"""

import http.server
import json
import os
import queue
import signal
import subprocess
import threading
import time
import urllib.parse
import uuid

from desktop import DesktopError, _start, end_process, wait_for

HERE = os.path.dirname(os.path.abspath(__file__))
PAGES = os.path.join(HERE, "pages")

# A browser's first start (profile creation, font caches) takes long on a loaded 2-core
# machine; these bounds only matter when something is broken.
BROWSER_START_TIMEOUT = 120.0
PAGE_REPLY_TIMEOUT = 20.0
# How long a page's poll waits for a command before it is answered "none" and polls again.
POLL_SECONDS = 5.0


ATSPI = "org.a11y.atspi."
PROPERTIES = "org.freedesktop.DBus.Properties"


class AccessibilityBus:
    """A plain D-Bus client of the accessibility bus (GDBus, its own connection, no signal
    subscribed), for the harness and the measurements. libatspi is not used in the test
    process: its reentrant dispatch deadlocked here (an event handler of its cache making a
    call while Chromium's events flooded in), and its event match rules would be one more
    request of a client's that might change how a browser behaves."""

    def __init__(self, address):
        import gi
        gi.require_version("Atspi", "2.0")
        from gi.repository import Atspi, Gio
        self.Atspi = Atspi  # its enumerations only
        self.conn = Gio.DBusConnection.new_for_address_sync(
            address, Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT |
            Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION, None, None)
        self.Gio = Gio
        self.calls = 0

    def call(self, ref, interface, method, args=None, timeout_ms=5000):
        from gi.repository import GLib
        self.calls += 1
        bus, path = ref
        value = self.conn.call_sync(bus, path, interface, method,
                                    GLib.Variant(*args) if args else None, None,
                                    self.Gio.DBusCallFlags.NONE, timeout_ms, None)
        return value.unpack()

    def prop(self, ref, interface, name):
        return self.call(ref, PROPERTIES, "Get", ("(ss)", (interface, name)))[0]

    def pid(self, bus_name):
        return self.call(("org.freedesktop.DBus", "/org/freedesktop/DBus"),
                         "org.freedesktop.DBus", "GetConnectionUnixProcessID",
                         ("(s)", (bus_name,)))[0]

    def applications(self, pid=None):
        root = ("org.a11y.atspi.Registry", "/org/a11y/atspi/accessible/root")
        apps = []
        for ref in self.call(root, ATSPI + "Accessible", "GetChildren")[0]:
            try:
                p = self.pid(ref[0])
            except Exception:  # noqa: BLE001 (an application that went away)
                continue
            if pid is None or p == pid:
                apps.append(tuple(ref))
        return apps

    def children(self, ref):
        # A sleeping Chromium window answers one child, the null reference.
        return [tuple(c) for c in self.call(ref, ATSPI + "Accessible", "GetChildren")[0]
                if c[1] != "/org/a11y/atspi/null"]

    def walk(self, ref, limit=5000):
        out, stack = [], [ref]
        while stack and len(out) < limit:
            a = stack.pop()
            out.append(a)
            try:
                stack.extend(reversed(self.children(a)))
            except Exception:  # noqa: BLE001
                pass
        return out

    def state_bits(self, ref):
        low, high = self.call(ref, ATSPI + "Accessible", "GetState")[0]
        return low | (high << 32)

    def states(self, ref):
        bits = self.state_bits(ref)
        return sorted(self.Atspi.StateType(i).value_nick for i in range(64)
                      if bits >> i & 1 and i < self.Atspi.StateType.LAST_DEFINED)

    def has_state(self, ref, state):
        return bool(self.state_bits(ref) >> int(state) & 1)

    def role_name(self, ref):
        """The role as libatspi names it, from GetRole (what libatspi itself asks)."""
        role = self.call(ref, ATSPI + "Accessible", "GetRole")[0]
        try:
            return self.Atspi.Role(role).value_nick.replace("-", " ")
        except ValueError:
            return "role %d" % role

    def interfaces(self, ref):
        return sorted(self.call(ref, ATSPI + "Accessible", "GetInterfaces")[0])

    def attributes(self, ref):
        return self.call(ref, ATSPI + "Accessible", "GetAttributes")[0]

    def focused_in(self, app):
        for a in self.walk(app):
            try:
                if self.has_state(a, self.Atspi.StateType.FOCUSED) and \
                        ATSPI + "Text" in self.interfaces(a):
                    return a
            except Exception:  # noqa: BLE001
                pass
        return None

    def collection_focused(self, app):
        """The Collection query for a focused accessible that the adapter makes."""
        bits = 1 << int(self.Atspi.StateType.FOCUSED)
        # Unused parts match all (MATCH_ALL, 1) with nothing in them.
        rule = ([bits & 0xFFFFFFFF, bits >> 32], 1, {}, 1, [], 1, [], 1, False)
        return self.call(app, ATSPI + "Collection", "GetMatches",
                         ("((aiia{ss}iaiiasib)uib)", (rule, 0, 5, True)))[0]

    def text(self, ref):
        return self.call(ref, ATSPI + "Text", "GetText", ("(ii)", (0, -1)))[0]

    def count(self, ref):
        return self.prop(ref, ATSPI + "Text", "CharacterCount")

    def caret(self, ref):
        return self.prop(ref, ATSPI + "Text", "CaretOffset")

    def toolkit(self, app):
        return (self.prop(app, ATSPI + "Application", "ToolkitName"),
                self.prop(app, ATSPI + "Application", "Version"))

    def insert_text(self, ref, position, text, length):
        return self.call(ref, ATSPI + "EditableText", "InsertText",
                         ("(isi)", (position, text, length)))[0]

    def set_text_contents(self, ref, text):
        return self.call(ref, ATSPI + "EditableText", "SetTextContents", ("(s)", (text,)))[0]


    def focused_field(self, pid):
        """The (bus name, object path) and DOM id of the accessible that has the focus in the
        application of `pid` (both browsers expose an element's id as its "id" attribute), or
        None. It reads attributes, which wakes a sleeping Chromium: call it only once the
        helper has had its first capture. (A walk: a Collection query for the focused state
        on either browser's application root found nothing here.)"""
        focused = int(self.Atspi.StateType.FOCUSED)
        for app in self.applications(pid):
            stack = [app]
            seen = 0
            while stack and seen < 5000:
                ref = stack.pop()
                seen += 1
                try:
                    if self.state_bits(ref) >> focused & 1:
                        field = self.attributes(ref).get("id")
                        if field:
                            return ref, field
                    stack.extend(reversed(self.children(ref)))
                except Exception:  # noqa: BLE001 (an accessible that went away)
                    continue
            # Nothing focused: perhaps a Chromium whose page tree sleeps. Reading the
            # application's attributes wakes it (a read, as any client may make).
            try:
                self.attributes(app)
            except Exception:  # noqa: BLE001
                pass
        return None

    def focused_field_id(self, pid):
        found = self.focused_field(pid)
        return found[1] if found else None


class PageServer:
    """An HTTP server on 127.0.0.1 in a thread of the test process: it serves the pages and
    carries commands to the page that polls it and the page's reports back."""

    def __init__(self):
        self.lock = threading.Condition()
        self.commands = {}   # session -> queue of commands for the page of that session
        self.replies = {}    # (session, command id) -> report
        self.loaded = {}     # session -> the page's first report
        self.next_id = 0
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def answer(self, status, body, content_type="application/json"):
                data = body if isinstance(body, bytes) else body.encode("utf-8")
                self.send_response(status)
                self.send_header("Content-Type", content_type)
                self.send_header("Content-Length", str(len(data)))
                self.send_header("Cache-Control", "no-store")
                self.end_headers()
                self.wfile.write(data)

            def do_GET(self):
                url = urllib.parse.urlsplit(self.path)
                query = urllib.parse.parse_qs(url.query)
                if url.path == "/poll":
                    cmd = server._next_command(query.get("session", [""])[0])
                    self.answer(200, json.dumps(cmd))
                    return
                name = os.path.basename(url.path)
                path = os.path.join(PAGES, name)
                if name.endswith(".html") and os.path.isfile(path):
                    with open(path, "rb") as f:
                        self.answer(200, f.read(), "text/html; charset=utf-8")
                    return
                # favicon.ico and anything else: nothing, quickly.
                self.answer(404, b"", "text/plain")

            def do_POST(self):
                length = int(self.headers.get("Content-Length", "0"))
                body = self.rfile.read(length)
                if self.path.startswith("/report"):
                    server._report(json.loads(body.decode("utf-8")))
                self.answer(204, b"", "text/plain")

        class Server(http.server.ThreadingHTTPServer):
            def handle_error(self, request, client_address):
                pass  # a browser that closes a connection as it ends: nothing to say

        self.httpd = Server(("127.0.0.1", 0), Handler)
        self.httpd.daemon_threads = True
        self.port = self.httpd.server_address[1]
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def url(self, page, session):
        return "http://127.0.0.1:%d/%s?session=%s" % (self.port, page, session)

    def _queue(self, session):
        with self.lock:
            return self.commands.setdefault(session, queue.Queue())

    def _next_command(self, session):
        try:
            return self._queue(session).get(timeout=POLL_SECONDS)
        except queue.Empty:
            return {"cmd": "none"}

    def _report(self, report):
        state = report.get("state") or {}
        session = state.get("session", "")
        with self.lock:
            if report.get("loaded"):
                self.loaded.setdefault(session, report)
            elif "reply" in report:
                self.replies[(session, report["reply"])] = report
            self.lock.notify_all()

    def wait_loaded(self, session, timeout):
        with self.lock:
            if not self.lock.wait_for(lambda: session in self.loaded, timeout):
                raise DesktopError("the page of session %s did not load" % session)
            return self.loaded[session]["state"]

    def command(self, session, cmd, timeout=PAGE_REPLY_TIMEOUT):
        """Sends a command to the page of `session`; the page's state after it."""
        with self.lock:
            self.next_id += 1
            cmd = dict(cmd, id=self.next_id)
        self._queue(session).put(cmd)
        key = (session, cmd["id"])
        with self.lock:
            if not self.lock.wait_for(lambda: key in self.replies, timeout):
                raise DesktopError("the page did not answer %r" % cmd)
            report = self.replies.pop(key)
        if report.get("error"):
            raise DesktopError("%r: %s" % (cmd, report["error"]))
        return report["state"]

    def stop(self):
        self.httpd.shutdown()
        self.httpd.server_close()
        self.thread.join(timeout=5)


def session_processes(sid):
    """The pids of the live processes in session `sid` (the browser's own session)."""
    pids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except (FileNotFoundError, ProcessLookupError, IndexError):
            continue
        # After the command: state, ppid, pgrp, session.
        if fields[0] not in ("Z", "X") and int(fields[3]) == sid:
            pids.append(int(entry))
    return pids


def exe_name(pid):
    """The file name of a process's executable (the adapter's application id), or None."""
    try:
        return os.path.basename(os.readlink("/proc/%d/exe" % pid))
    except OSError:
        return None


# Chromium: quiet and deterministic. No first-run UI, default-browser check, sign-in, sync,
# translation, password or autofill prompts; no component updates, field trials, pings or
# other background fetches; every host name resolves to nothing except 127.0.0.1. As root
# Chromium runs only with --no-sandbox. No accessibility flag, so as a user's Chromium it
# registers on the accessibility bus with its application and three frames only (each frame's
# one child the null reference), and its page's accessibles appear once a client reads the
# application's attributes (GetAttributes on its root is enough; measured here 0.3-1.0 s until
# the focused field shows, ~246 accessibles; walking the tree, reading states, the toolkit name
# or a Collection query did not wake it in 21 s). Once awake it stayed awake (150 s idle).
CHROMIUM_FLAGS = [
    "--no-sandbox", "--disable-gpu", "--no-first-run", "--ozone-platform=x11",
    "--no-default-browser-check", "--disable-default-apps", "--disable-extensions",
    "--disable-component-extensions-with-background-pages", "--disable-background-networking",
    "--disable-component-update", "--disable-sync", "--disable-domain-reliability",
    "--disable-client-side-phishing-detection", "--disable-breakpad", "--no-pings",
    "--disable-field-trial-config", "--metrics-recording-only", "--disable-crash-reporter",
    "--disable-search-engine-choice-screen", "--password-store=basic", "--noerrdialogs",
    "--disable-session-crashed-bubble", "--disable-hang-monitor",
    "--disable-background-timer-throttling", "--disable-renderer-backgrounding",
    "--disable-backgrounding-occluded-windows", "--disable-ipc-flooding-protection",
    "--disable-features=Translate,OptimizationHints,MediaRouter,AutofillServerCommunication,"
    "PasswordManagerOnboarding,InterestFeedContentSuggestions,CertificateTransparencyComponentUpdater",
    "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1",
    "--window-position=0,0", "--window-size=1024,768", "--force-device-scale-factor=1",
    "--lang=en-US",
]

CHROMIUM_PREFERENCES = {
    "browser": {"check_default_browser": False, "has_seen_welcome_page": True},
    "credentials_enable_service": False,
    "credentials_enable_autosignin": False,
    "profile": {"password_manager_enabled": False, "exit_type": "Normal",
                "exited_cleanly": True},
    "autofill": {"enabled": False, "profile_enabled": False, "credit_card_enabled": False},
    "translate": {"enabled": False},
    "search": {"suggest_enabled": False},
    "safebrowsing": {"enabled": False},
    "session": {"restore_on_startup": 5},  # open the new tab page: nothing restored
    "signin": {"allowed": False},
}

# Firefox ESR: the same, as preferences in the profile's user.js. Every proxied request goes to
# a closed port on 127.0.0.1, so nothing reaches the network; 127.0.0.1 itself is never proxied.
FIREFOX_PREFERENCES = {
    "browser.shell.checkDefaultBrowser": False,
    "browser.startup.page": 0,
    "browser.startup.homepage": "about:blank",
    "browser.startup.homepage_override.mstone": "ignore",
    "browser.startup.firstrunSkipsHomepage": True,
    "startup.homepage_welcome_url": "",
    "startup.homepage_welcome_url.additional": "",
    "startup.homepage_override_url": "",
    "browser.aboutwelcome.enabled": False,
    "trailhead.firstrun.didSeeAboutWelcome": True,
    "browser.newtabpage.enabled": False,
    "browser.newtabpage.activity-stream.feeds.telemetry": False,
    "browser.newtabpage.activity-stream.telemetry": False,
    "browser.newtabpage.activity-stream.feeds.section.topstories": False,
    "browser.newtabpage.activity-stream.feeds.topsites": False,
    "browser.newtabpage.activity-stream.showSponsored": False,
    "browser.newtabpage.activity-stream.showSponsoredTopSites": False,
    "browser.sessionstore.resume_from_crash": False,
    "browser.sessionstore.max_resumed_crashes": 0,
    "toolkit.startup.max_resumed_crashes": -1,
    "browser.tabs.warnOnClose": False,
    "browser.warnOnQuit": False,
    "browser.aboutConfig.showWarning": False,
    "browser.uitour.enabled": False,
    "browser.discovery.enabled": False,
    "browser.translations.enabled": False,
    "browser.translations.automaticallyPopup": False,
    "browser.search.update": False,
    "browser.region.update.enabled": False,
    "browser.region.network.url": "",
    "browser.safebrowsing.malware.enabled": False,
    "browser.safebrowsing.phishing.enabled": False,
    "browser.safebrowsing.downloads.enabled": False,
    "browser.safebrowsing.downloads.remote.enabled": False,
    "browser.safebrowsing.blockedURIs.enabled": False,
    "browser.safebrowsing.update.enabled": False,
    "browser.ping-centre.telemetry": False,
    "browser.urlbar.suggest.searches": False,
    "browser.urlbar.quicksuggest.enabled": False,
    "browser.formfill.enable": True,
    "signon.rememberSignons": False,
    "signon.autofillForms": False,
    "signon.generation.enabled": False,
    "signon.firefoxRelay.feature": "disabled",
    "extensions.formautofill.addresses.enabled": False,
    "extensions.formautofill.creditCards.enabled": False,
    "extensions.update.enabled": False,
    "extensions.update.autoUpdateDefault": False,
    "extensions.getAddons.cache.enabled": False,
    "extensions.systemAddon.update.enabled": False,
    "extensions.pocket.enabled": False,
    "extensions.screenshots.disabled": True,
    "app.update.enabled": False,
    "app.update.auto": False,
    "app.update.checkInstallTime": False,
    "app.normandy.enabled": False,
    "app.shield.optoutstudies.enabled": False,
    "datareporting.policy.dataSubmissionEnabled": False,
    "datareporting.policy.firstRunURL": "",
    "datareporting.healthreport.uploadEnabled": False,
    "toolkit.telemetry.enabled": False,
    "toolkit.telemetry.unified": False,
    "toolkit.telemetry.archive.enabled": False,
    "toolkit.telemetry.server": "",
    "toolkit.telemetry.reportingpolicy.firstRun": False,
    "toolkit.telemetry.shutdownPingSender.enabled": False,
    "toolkit.telemetry.newProfilePing.enabled": False,
    "toolkit.telemetry.firstShutdownPing.enabled": False,
    "toolkit.telemetry.updatePing.enabled": False,
    "toolkit.telemetry.bhrPing.enabled": False,
    "toolkit.coverage.opt-out": True,
    "toolkit.cosmeticAnimations.enabled": False,
    "network.captive-portal-service.enabled": False,
    "network.connectivity-service.enabled": False,
    "captivedetect.canonicalURL": "",
    "network.prefetch-next": False,
    "network.dns.disablePrefetch": True,
    "network.http.speculative-parallel-limit": 0,
    "network.predictor.enabled": False,
    "network.trr.mode": 5,
    "network.proxy.type": 1,
    "network.proxy.http": "127.0.0.1",
    "network.proxy.http_port": 9,
    "network.proxy.ssl": "127.0.0.1",
    "network.proxy.ssl_port": 9,
    "network.proxy.share_proxy_settings": True,
    "network.proxy.no_proxies_on": "127.0.0.1",
    "network.proxy.allow_hijacking_localhost": False,
    "security.OCSP.enabled": 0,
    "security.remote_settings.crlite_filters.enabled": False,
    "services.settings.poll_interval": 86400 * 365,
    "services.sync.engine.passwords": False,
    "identity.fxaccounts.enabled": False,
    "media.gmp-manager.updateEnabled": False,
    "media.gmp-gmpopenh264.enabled": False,
    "media.gmp-widevinecdm.enabled": False,
    "geo.enabled": False,
    "dom.disable_beforeunload": True,
    "dom.push.enabled": False,
    "browser.dom.window.dump.enabled": False,
    # Alt pressed and released alone would move the focus to the menu bar.
    "ui.key.menuAccessKeyFocuses": False,
    "devtools.chrome.enabled": False,
    "layout.spellcheckDefault": 0,
}


def _js_value(value):
    return json.dumps(value)


class Browser:
    """One real browser showing pages/fields.html; see the module's documentation."""

    KINDS = ("chromium", "firefox")

    def __init__(self, desktop, kind, page="fields.html"):
        if kind not in self.KINDS:
            raise DesktopError("no browser " + kind)
        self.desktop = desktop
        self.kind = kind
        self.session = uuid.uuid4().hex[:12]
        self.server = PageServer()
        self.profile = os.path.join(desktop.root, "%s-profile-%s" % (kind, self.session))
        os.makedirs(self.profile)
        self.log_path = os.path.join(desktop.root, "%s-%s.log" % (kind, self.session))
        url = self.server.url(page, self.session)
        env = dict(desktop.env)
        if kind == "chromium":
            argv = self._chromium(url)
        else:
            argv = self._firefox(url)
            # Firefox registers on the accessibility bus when this is set (or the bus's
            # IsEnabled is true); MOZ_HEADLESS must not be set at all, even to 0.
            env["GNOME_ACCESSIBILITY"] = "1"
            env["MOZ_CRASHREPORTER_DISABLE"] = "1"
            env.pop("MOZ_HEADLESS", None)
        self.started = time.monotonic()
        self.log = open(self.log_path, "wb")
        self.proc = None
        self.bus = None  # an AccessibilityBus, once accessible_focus needs one
        self.left_after_term = None  # what was left of the session once the browser ended
        self.proc = self._launch(argv, env)
        self.pid = self.proc.pid
        try:
            self.server.wait_loaded(self.session, BROWSER_START_TIMEOUT)
            self.loaded_after = time.monotonic() - self.started
            self.window = wait_for(self._find_window, timeout=BROWSER_START_TIMEOUT,
                                   what="the %s window" % kind)
        except BaseException:
            self.stop()
            raise

    def _launch(self, argv, env):
        """Starts the browser in a session of its own (ended by stop())."""
        return _start(argv, stdin=subprocess.DEVNULL, stdout=self.log, stderr=self.log,
                      env=env, cwd=self.desktop.home, start_new_session=True)

    def _chromium(self, url):
        default = os.path.join(self.profile, "Default")
        os.makedirs(default)
        with open(os.path.join(default, "Preferences"), "w") as f:
            json.dump(CHROMIUM_PREFERENCES, f)
        # /usr/bin/chromium is Debian's launcher script; it ends with exec, so the pid we start
        # is the browser's own.
        return ["chromium", *CHROMIUM_FLAGS, "--user-data-dir=" + self.profile, url]

    def _firefox(self, url):
        with open(os.path.join(self.profile, "user.js"), "w") as f:
            for name, value in FIREFOX_PREFERENCES.items():
                f.write("user_pref(%s, %s);\n" % (json.dumps(name), _js_value(value)))
        return ["firefox-esr", "--no-remote", "--profile", self.profile, url]

    def _find_window(self):
        """The browser's mapped top-level window showing our page (its title names the
        session)."""
        r = self.desktop._run("xdotool", "search", "--onlyvisible", "--name",
                              "caretsafe " + self.session, check=False)
        windows = r.stdout.decode().split()
        return int(windows[0]) if windows else None

    # --- the page ---------------------------------------------------------------------------

    def command(self, cmd, **args):
        """A command to the page (pages/fields.html); its state afterwards."""
        return self.server.command(self.session, dict(args, cmd=cmd))

    def state(self):
        """The page's own report: "fields" (id -> value, start, end in code points, start16,
        end16 in UTF-16 units), "active" (the focused element's id), "hasFocus" (the
        document's), "log" ([kind, element id, detail] for every key, input and focus event),
        "moved" (what the field held when a move-focus-at rule fired)."""
        return self.command("state")

    def value(self, field):
        return self.state()["fields"][field]["value"]

    def set(self, field, value, caret=None, selection=None):
        """Sets a field's value and its caret (code points; the end when not given) or
        selection; the page's state afterwards."""
        args = {"field": field, "value": value}
        if selection is not None:
            args["start"], args["end"] = selection
        elif caret is not None:
            args["start"] = caret
        return self.command("set", **args)

    def reset(self):
        """Empties the page's event log and drops a pending move-focus-at rule."""
        return self.command("reset")

    def move_focus_at(self, field, length, to):
        """Once `field`'s value counts `length` code points, the page moves the focus to
        `to`, in the input event that got it there; state()["moved"] then says what `field`
        held at that moment."""
        return self.command("move-focus-at", field=field, length=length, to=to)

    def focus(self, field, accessible=False):
        """Gives the field the keyboard focus: the page focuses it, the X focus goes to the
        browser's window, and we wait until the page reports both (with `accessible`, until
        the accessibility tree does too: see accessible_focus). The page's state."""
        self.command("focus", field=field)
        self.desktop.focus_window(self.window)

        def settled():
            s = self.state()
            return s if s["active"] == field and s["hasFocus"] else None

        state = wait_for(settled, timeout=PAGE_REPLY_TIMEOUT, what="focus on %s" % field)
        if accessible:
            self.accessible_focus(field)
        return state

    def accessible_focus(self, field):
        """Waits until the browser's accessibility tree, too, has the focus on `field` (it
        follows the page a moment later), so that a capture finds the field a user would see
        focused. Reads attributes, which wakes a sleeping Chromium: not before the helper's
        first capture, whose waking is under test. The focused accessible's (bus name, object
        path)."""
        if self.bus is None:
            self.bus = AccessibilityBus(self.desktop.a11y_address)
        found = wait_for(lambda: (lambda f: f if f and f[1] == field else None)(
            self.bus.focused_field(self.pid)), timeout=PAGE_REPLY_TIMEOUT,
            what="the accessible focus on %s" % field)
        return found[0]

    # --- processes --------------------------------------------------------------------------

    def processes(self):
        """The live processes of the browser's session: the browser and everything it
        started."""
        return session_processes(self.pid)

    def stop(self):
        """Ends the browser by its pid, then anything left in its process group (its session's
        group: we started it with setsid), and checks that nothing of it is left."""
        if self.proc is not None:
            if self.proc.poll() is None:
                end_process(self.pid, timeout=15.0)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                pass
            # Firefox's content processes may outlive its main process by a moment.
            try:
                wait_for(lambda: not session_processes(self.pid), timeout=3.0,
                         what="the %s session to end" % self.kind)
            except DesktopError:
                pass
            self.left_after_term = session_processes(self.pid)
            if self.left_after_term:
                # Helpers that outlive the browser for a moment (its crash handler, a
                # renderer still closing): the group first, then any that left the group
                # but not the session, each by its pid.
                try:
                    os.killpg(self.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
                for pid in session_processes(self.pid):
                    end_process(pid, timeout=2.0)
                wait_for(lambda: not session_processes(self.pid), timeout=10,
                         what="the %s processes to end" % self.kind)
            if self.proc.poll() is None:
                self.proc.wait()
            self.proc = None
        self.server.stop()
        self.log.close()

    def log_tail(self, size=4000):
        """The end of the browser's own output, for a failure's message."""
        try:
            with open(self.log_path, "rb") as f:
                f.seek(0, os.SEEK_END)
                f.seek(max(0, f.tell() - size))
                return f.read().decode("utf-8", "replace")
        except OSError:
            return ""
