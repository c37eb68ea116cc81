"""The compatibility table, from real runs: every application the real-desktop tests drive,
started on a private test desktop (desktop.py), captured and inserted into through caretsafe's
own request loop over the Linux adapter (the session driver, which also reports the AT-SPI
requests it made), each insert checked by the application's own text. Writes the table as
Markdown to the path given (default: standard output).

    /usr/bin/python3 tests/linux/compatibility.py docs/compatibility.md

with CARETSAFE_LINUX_DRIVER naming the driver (scripts/compatibility.sh sets it after the
build). Nothing in the table is typed by hand: a cell says what happened in this run.
"""

import os
import platform
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from desktop import Desktop, DesktopError  # noqa: E402
from wayland_desktop import WaylandDesktop  # noqa: E402

ASCII = "Hello, world"
ASTRAL_RTL = "😀 שלום 𝄞"
BEFORE = "ab"  # each field holds this, the caret after "a"

# The Mac: not measured by this run (no Mac here), so written here, kept with the generated
# table, and changed by hand when what is known of a Mac changes.
MAC_SECTION = [
    "## On a Mac",
    "",
    "Not measured by the run above: what caretsafe does with each browser on a Mac, with "
    "`\"allowTyping\": true`, and where that is verified: *source*: read in the application's "
    "own source; *simulated*: a desktop of the simulated desktop modelled on that source, run "
    "through both `caretsafe-sim` and `caretsafe-mac-sim` in every test run; *Mac*: "
    "`scripts/mac-e2e.sh` on a real Mac. Details: [macos.md](macos.md#browsers-and-electron-apps).",
    "",
    "| application | web fields | tree | source | simulated | Mac |",
    "|---|---|---|---|---|---|",
    "| Chrome, Chromium, Edge, Brave, Vivaldi, Opera (listed) | typed, each key waited for, "
    "read back; `<input list>` combo box typed; number field, list-only combo box, "
    "contenteditable `<div>`, password refused | `AXEnhancedUserInterface` set once; tree "
    "waited for up to 5 s | yes | yes (tree 3.0 s after the switch; combo box) | prepared "
    "(Chrome), not yet run |",
    "| other Chromium-based browsers and apps embedding Chromium (found by their bundle) | as "
    "Chrome | as Chrome; an embedding app that ignores the switch is refused after 5 s | yes "
    "(the bundle's layout) | yes (an unlisted browser) | not yet run |",
    "| Electron apps | as Chrome | `AXManualAccessibility` set once; up to 5 s | yes | yes "
    "(tree 3.0 s after the switch) | not yet run |",
    "| Firefox (release, ESR, Beta, Developer Edition, Nightly; Gecko apps by their bundle) | "
    "`<input>`, `<textarea>` written once, read back until the page applied the write (at "
    "most 2 s); contenteditable refused; password: see macos.md | `AXEnhancedUserInterface` set once; up to "
    "5 s | yes | yes (the write landing after the call) | prepared (Firefox), not yet run |",
    "| Safari | as any application's fields: written, read back once | none asked for | no | "
    "no | prepared (Safari), not yet run |",
    "",
]


class Target:
    """One application under test: how to focus its field, fill it and read it back."""

    def __init__(self, name, start, field=None, secure=None, terminal=False, shared=None):
        self.name = name
        self.start = start      # desktop -> the application object
        self.shared = shared    # rows with the same name share one running application
        self.field = field      # the widget or field name (none for a terminal)
        self.secure = secure    # its password field, if it has one
        self.terminal = terminal
        self.app = None

    def prepare(self):
        """Puts BEFORE in the field with the caret after its first character, focused."""
        if self.terminal:
            self.app.focus()
            return
        self.app.set(self.field, BEFORE, caret=1)
        self.app.focus(self.field)

    def text(self):
        if self.terminal:
            return self.app.received()
        if hasattr(self.app, "value"):
            return self.app.value(self.field)
        return self.app.state(self.field)["text"]

    def expected(self, inserted, before_text):
        if self.terminal:
            return before_text + inserted
        return BEFORE[:1] + inserted + BEFORE[1:]

    def focus_secure(self):
        self.app.focus(self.secure)


TARGETS = [
    Target("GTK 3 entry", lambda d: d.app("gtk3_app.py"), "entry", "password"),
    Target("GTK 4 entry", lambda d: d.app("gtk4_app.py"), "entry"),
    Target("Qt 5 line edit", lambda d: d.app("qt5_app.py"), "line", "password"),
    Target("Chromium `<input>` (and Electron apps)", lambda d: d.browser("chromium"), "input",
           "password", shared="chromium"),
    Target("Chromium `<textarea>`", None, "textarea", shared="chromium"),
    Target("Chromium `contenteditable`", None, "editable", shared="chromium"),
    Target("Chromium `<input list>` (datalist)", None, "datalist", shared="chromium"),
    Target("Firefox ESR `<input>`", lambda d: d.browser("firefox"), "input", "password",
           shared="firefox"),
    Target("Firefox ESR `<textarea>`", None, "textarea", shared="firefox"),
    Target("Firefox ESR `contenteditable`", None, "editable", shared="firefox"),
    Target("xterm", lambda d: d.terminal("xterm", "xterm"), terminal=True),
    Target("sakura (VTE)", lambda d: d.terminal("sakura", "sakura"), terminal=True),
]

# On a native Wayland session (headless sway): the same applications where they run natively,
# the browsers native and Chromium on XWayland. The browsers come first: a Chromium started
# there after the GTK and Qt windows had come and gone never ran the test page's commands
# (its page stalled, 2 runs of 2; started first, it answered every one).
WAYLAND_TARGETS = [
    Target("Chromium `<input>`, native Wayland", lambda d: d.browser("chromium"), "input",
           "password", shared="chromium"),
    Target("Chromium `<textarea>`, native Wayland", None, "textarea", shared="chromium"),
    Target("Chromium `contenteditable`, native Wayland", None, "editable", shared="chromium"),
    Target("Firefox ESR `<input>`, native Wayland", lambda d: d.browser("firefox"), "input",
           "password", shared="firefox"),
    Target("Firefox ESR `<textarea>`, native Wayland", None, "textarea", shared="firefox"),
    Target("Firefox ESR `contenteditable`, native Wayland", None, "editable",
           shared="firefox"),
    Target("Chromium `<input>` on XWayland", lambda d: d.browser("chromium-x11"), "input",
           "password"),
    Target("GTK 3 entry", lambda d: d.app("gtk3_app.py"), "entry", "password"),
    Target("Qt 5 line edit", lambda d: d.app("qt5_app.py"), "line", "password"),
    Target("foot", lambda d: d.foot("foot"), terminal=True),
    Target("sakura (VTE)", lambda d: d.terminal("sakura", "sakura"), terminal=True),
]


def capture(driver, allow_typing, seconds=5.0):
    """Captures until it succeeds or `seconds` pass (a toolkit takes the focus a moment after
    the X server gave it); the last answer and the driver's report of it."""
    request = {"action": "capture"}
    if allow_typing:
        request["allowTyping"] = True
    deadline = time.monotonic() + seconds
    while True:
        answer, report = driver.ask_reported(**request)
        if answer.get("ok") or time.monotonic() > deadline:
            return answer, report
        time.sleep(0.2)


def describe(answer):
    if answer.get("ok"):
        return "yes"
    return "no (`%s`)" % answer.get("reason")


def insert_row(target, driver, text):
    """One insert into a freshly prepared field: (cell, delivery)."""
    target.prepare()
    before_text = target.text()
    answer, _ = capture(driver, allow_typing=True)
    if not answer.get("ok"):
        return "not captured (`%s`)" % answer.get("reason"), None
    result, report = driver.ask_reported(action="insert", token=answer["token"], text=text)
    methods = {r[0] for r in report["requests"]}
    if result.get("delivery") == "sent-unverified":
        delivery = "typed, unverified"
    elif result.get("ok"):
        delivery = "written and confirmed" if "InsertText" in methods else "typed and confirmed"
    else:
        delivery = None
    expected = target.expected(text, before_text)
    # A terminal's program may read the last keys a moment after the answer.
    deadline = time.monotonic() + 5
    got = target.text()
    while got != expected and time.monotonic() < deadline:
        time.sleep(0.1)
        got = target.text()
    if result.get("ok") and got == expected:
        return "exact", delivery
    if result.get("ok"):
        return "**answered ok, text differs**: %r" % got, delivery
    return "no (`%s`)" % result.get("reason"), delivery


def secure_cell(target, driver):
    if target.secure is None:
        return "—"
    target.focus_secure()
    answer, report = capture(driver, allow_typing=True, seconds=1.0)
    read = any(r[0] in ("GetText", "GetCharacterCount") for r in report["requests"])
    if answer.get("ok"):
        return "**captured**"
    return "refused, text never read" if not read else "**refused, text read**"


def row(desktop, target, app, last_of_app):
    target.app = app
    driver = desktop.driver()
    try:
        target.prepare()
        plain, _ = capture(driver, allow_typing=False)
        typing, _ = capture(driver, allow_typing=True)
        ascii_cell, d1 = insert_row(target, driver, ASCII)
        astral_cell, d2 = insert_row(target, driver, ASTRAL_RTL)
        secure = secure_cell(target, driver)
        deliveries = sorted({d for d in (d1, d2) if d})
        return [target.name, describe(plain), describe(typing), ascii_cell, astral_cell, secure,
                ", ".join(deliveries) or "—"]
    finally:
        driver.stop()
        if last_of_app:
            target.app.stop()
            desktop.apps.remove(target.app)


def version(argv):
    try:
        out = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                             timeout=60).stdout.decode().strip()
        return out.splitlines()[0] if out else "?"
    except (OSError, subprocess.TimeoutExpired):
        return "?"


def package_version(name):
    return version(["dpkg-query", "-W", "-f", "${Version}", name])


def table_rows(desktop, targets):
    """One row per target, on a started desktop, which this stops."""
    rows = []
    try:
        app = None
        for i, target in enumerate(targets):
            following = targets[i + 1] if i + 1 < len(targets) else None
            last_of_app = target.shared is None or following is None or \
                following.shared != target.shared
            try:
                if target.start is not None:
                    app = target.start(desktop)
                rows.append(row(desktop, target, app, last_of_app))
            except DesktopError as error:
                rows.append([target.name, "**harness failed: %s**" % error] + [""] * 5)
            print("compatibility: %s done" % target.name, file=sys.stderr)
    finally:
        desktop.stop()
    return rows


def main():
    out_path = sys.argv[1] if len(sys.argv) > 1 else None
    rows = table_rows(Desktop().start(), TARGETS)
    wayland_rows = table_rows(WaylandDesktop().start(), WAYLAND_TARGETS)
    header = [
        "| application | capture | capture, typing allowed | insert \"%s\" | insert \"%s\" "
        "| password field | delivered as |" % (ASCII, ASTRAL_RTL),
        "|---|---|---|---|---|---|---|",
    ]

    lines = [
        "# Compatibility: what caretsafe does in each application",
        "",
        "This table says, for every application the real-desktop tests drive, what caretsafe "
        "did there in one run on the Linux test desktop (Xvfb, a private session bus, "
        "accessibility on, no window manager). It is written by "
        "`bash scripts/compatibility.sh` from that run, never by hand; run it again after a "
        "change.",
        "",
        "Each field held \"%s\" with the caret after \"a\"; each insert was captured with "
        "`\"allowTyping\": true` and checked by the application's own text (a terminal: what "
        "its program read). \"capture\" is without `allowTyping`, \"capture, typing allowed\" "
        "with it. A password field is captured with `allowTyping` too; \"text never read\" "
        "means that caretsafe's own record of its AT-SPI requests holds no request for its "
        "text." % BEFORE,
        "",
    ]
    lines += header
    lines += ["| " + " | ".join(r) + " |" for r in rows]
    lines += [
        "",
        "Delivered as: *written and confirmed*: the accessibility write (AT-SPI `InsertText`), "
        "read back; *typed and confirmed*: one key per character through XTest, the focus "
        "checked before each, read back; *typed, unverified*: a terminal, typed the same way "
        "after its text was made terminal-safe, with nothing to read back.",
        "",
        "Run: %s, on %s (%s); chromium %s, firefox-esr %s, GTK 3 %s, Qt 5 %s, xterm %s, "
        "sakura %s." % (time.strftime("%Y-%m-%d"), platform.platform(),
                        "%d cores" % os.cpu_count(), package_version("chromium"),
                        package_version("firefox-esr"), package_version("libgtk-3-0"),
                        package_version("libqt5core5a"), package_version("xterm"),
                        package_version("sakura")),
        "",
        "## On a Wayland session",
        "",
        "The same cases in the same run on a headless sway %s (a private session bus, "
        "accessibility on, XWayland on), each application native on Wayland unless the row "
        "says otherwise. Keys go through the compositor's virtual keyboard, the focused "
        "window checked before each (*typed and confirmed* / *typed, unverified* as above); "
        "an XWayland window is never typed into, and Chromium on Wayland is never sent a "
        "character above U+FFFF, which it would change (see "
        "[linux-desktop.md](linux-desktop.md#wayland-sessions))." % package_version("sway"),
        "",
    ]
    lines += header
    lines += ["| " + " | ".join(r) + " |" for r in wayland_rows]
    lines += [""]
    lines += MAC_SECTION
    text = "\n".join(lines)
    if out_path:
        with open(out_path, "w", encoding="utf-8") as f:
            f.write(text)
    else:
        sys.stdout.write(text)


if __name__ == "__main__":
    main()
