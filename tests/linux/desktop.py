"""A real, private Linux desktop for tests: Xvfb, a session bus, the accessibility bus and its
registry, small GTK and Qt applications that obey commands, and the caretsafe helper itself.

Everything is started here and ended here by its pid. A test module makes one `Desktop`, starts
the applications it needs, and talks to them and to caretsafe with JSON lines.

Run with /usr/bin/python3 (Debian's, which has `gi` and PyQt5).
"""

import ctypes
import json
import os
import select
import shutil
import signal
import subprocess
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
APPS = os.path.join(HERE, "apps")
PYTHON = "/usr/bin/python3"

# Generous bounds for a loaded 2-core machine; every wait polls and returns as soon as the
# condition holds, so they only matter when something is broken.
STARTUP_TIMEOUT = 30.0
REPLY_TIMEOUT = 20.0
# What a request's answer may take on top of that per UTF-16 unit of its text: typing costs
# time per character, and on a loaded machine far more than when idle.
TEXT_UNIT_TIMEOUT = 0.02
# How long a helper may take to exit once its input has ended.
EXIT_TIMEOUT = 10.0


_libc = ctypes.CDLL(None, use_errno=True)
_PR_SET_PDEATHSIG = 1


def _end_with_the_test():
    """Run in each child before it starts: the child gets SIGTERM when the test process dies,
    even when the test is killed (a CTest timeout) before it can end the child itself."""
    _libc.prctl(_PR_SET_PDEATHSIG, signal.SIGTERM, 0, 0, 0)


def _start(argv, **options):
    """subprocess.Popen for every process a desktop starts."""
    return subprocess.Popen(argv, preexec_fn=_end_with_the_test, **options)


class DesktopError(Exception):
    pass


class _XkbStateRec(ctypes.Structure):
    _fields_ = [("group", ctypes.c_ubyte), ("locked_group", ctypes.c_ubyte),
                ("base_group", ctypes.c_ushort), ("latched_group", ctypes.c_ushort),
                ("mods", ctypes.c_ubyte), ("base_mods", ctypes.c_ubyte),
                ("latched_mods", ctypes.c_ubyte), ("locked_mods", ctypes.c_ubyte),
                ("compat_state", ctypes.c_ubyte), ("grab_mods", ctypes.c_ubyte),
                ("compat_grab_mods", ctypes.c_ubyte), ("lookup_mods", ctypes.c_ubyte),
                ("compat_lookup_mods", ctypes.c_ubyte), ("ptr_buttons", ctypes.c_ushort)]


def _xkb_locked_mods(display):
    """XkbGetState on a short-lived connection of our own: no tool on the test desktop says
    whether Caps Lock is locked."""
    xlib = ctypes.CDLL("libX11.so.6")
    xlib.XOpenDisplay.restype = ctypes.c_void_p
    xlib.XOpenDisplay.argtypes = [ctypes.c_char_p]
    xlib.XkbGetState.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.POINTER(_XkbStateRec)]
    xlib.XCloseDisplay.argtypes = [ctypes.c_void_p]
    dpy = xlib.XOpenDisplay(display.encode())
    if not dpy:
        raise DesktopError("cannot open " + display)
    try:
        state = _XkbStateRec()
        if xlib.XkbGetState(dpy, 0x100, ctypes.byref(state)) != 0:  # XkbUseCoreKbd
            raise DesktopError("XkbGetState failed")
        return state.locked_mods
    finally:
        xlib.XCloseDisplay(dpy)


def _xlib_for_keymap():
    xlib = ctypes.CDLL("libX11.so.6")
    xlib.XOpenDisplay.restype = ctypes.c_void_p
    xlib.XOpenDisplay.argtypes = [ctypes.c_char_p]
    xlib.XDisplayKeycodes.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_int),
                                      ctypes.POINTER(ctypes.c_int)]
    xlib.XGetKeyboardMapping.restype = ctypes.POINTER(ctypes.c_ulong)
    xlib.XGetKeyboardMapping.argtypes = [ctypes.c_void_p, ctypes.c_ubyte, ctypes.c_int,
                                         ctypes.POINTER(ctypes.c_int)]
    xlib.XChangeKeyboardMapping.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int,
                                            ctypes.POINTER(ctypes.c_ulong), ctypes.c_int]
    xlib.XFree.argtypes = [ctypes.c_void_p]
    xlib.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
    xlib.XCloseDisplay.argtypes = [ctypes.c_void_p]
    return xlib


def _keymap(display):
    """The server's keyboard mapping: keycode → tuple of keysyms (NoSymbol columns dropped)."""
    xlib = _xlib_for_keymap()
    dpy = xlib.XOpenDisplay(display.encode())
    if not dpy:
        raise DesktopError("cannot open " + display)
    try:
        low, high, per = ctypes.c_int(), ctypes.c_int(), ctypes.c_int()
        xlib.XDisplayKeycodes(dpy, ctypes.byref(low), ctypes.byref(high))
        count = high.value - low.value + 1
        syms = xlib.XGetKeyboardMapping(dpy, low.value, count, ctypes.byref(per))
        try:
            return {low.value + i: tuple(s for s in syms[i * per.value:(i + 1) * per.value] if s)
                    for i in range(count)}
        finally:
            xlib.XFree(syms)
    finally:
        xlib.XCloseDisplay(dpy)


def _set_keysym(display, keycode, keysym):
    """Maps one keycode to one keysym in every column, as any other client may."""
    xlib = _xlib_for_keymap()
    dpy = xlib.XOpenDisplay(display.encode())
    if not dpy:
        raise DesktopError("cannot open " + display)
    try:
        columns = (ctypes.c_ulong * 4)(*([keysym] * 4))
        xlib.XChangeKeyboardMapping(dpy, keycode, 4, columns, 1)
        xlib.XSync(dpy, 0)
    finally:
        xlib.XCloseDisplay(dpy)


def _set_window_property(display, window, name, value):
    """Sets a WINDOW-typed property (one window id; None removes it) on a window, or on the
    root window when `window` is None, as a window manager does."""
    xlib = ctypes.CDLL("libX11.so.6")
    xlib.XOpenDisplay.restype = ctypes.c_void_p
    xlib.XOpenDisplay.argtypes = [ctypes.c_char_p]
    xlib.XDefaultRootWindow.restype = ctypes.c_ulong
    xlib.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
    xlib.XInternAtom.restype = ctypes.c_ulong
    xlib.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    xlib.XChangeProperty.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong,
                                     ctypes.c_ulong, ctypes.c_int, ctypes.c_int,
                                     ctypes.c_void_p, ctypes.c_int]
    xlib.XDeleteProperty.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong]
    xlib.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
    xlib.XCloseDisplay.argtypes = [ctypes.c_void_p]
    dpy = xlib.XOpenDisplay(display.encode())
    if not dpy:
        raise DesktopError("cannot open " + display)
    try:
        target = window if window is not None else xlib.XDefaultRootWindow(dpy)
        atom = xlib.XInternAtom(dpy, name.encode(), 0)
        if value is None:
            xlib.XDeleteProperty(dpy, target, atom)
        else:
            data = ctypes.c_ulong(value)
            # XA_WINDOW (33), format 32, PropModeReplace (0)
            xlib.XChangeProperty(dpy, target, atom, 33, 32, 0, ctypes.byref(data), 1)
        xlib.XSync(dpy, 0)
    finally:
        xlib.XCloseDisplay(dpy)


class KeyboardGrab:
    """Another client holding the keyboard, as a screen locker or a passphrase prompt does:
    a connection of its own with an active grab on the root window, until `release`."""

    def __init__(self, display):
        self.xlib = xlib = ctypes.CDLL("libX11.so.6")
        xlib.XOpenDisplay.restype = ctypes.c_void_p
        xlib.XOpenDisplay.argtypes = [ctypes.c_char_p]
        xlib.XDefaultRootWindow.restype = ctypes.c_ulong
        xlib.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
        xlib.XGrabKeyboard.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int,
                                       ctypes.c_int, ctypes.c_int, ctypes.c_ulong]
        xlib.XUngrabKeyboard.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
        xlib.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
        xlib.XCloseDisplay.argtypes = [ctypes.c_void_p]
        self.dpy = xlib.XOpenDisplay(display.encode())
        if not self.dpy:
            raise DesktopError("cannot open " + display)
        root = xlib.XDefaultRootWindow(self.dpy)
        # GrabModeAsync for pointer and keyboard, CurrentTime; 0 is GrabSuccess.
        if xlib.XGrabKeyboard(self.dpy, root, 0, 1, 1, 0) != 0:
            xlib.XCloseDisplay(self.dpy)
            raise DesktopError("the keyboard could not be grabbed")
        xlib.XSync(self.dpy, 0)

    def release(self):
        if self.dpy:
            self.xlib.XUngrabKeyboard(self.dpy, 0)
            self.xlib.XCloseDisplay(self.dpy)
            self.dpy = None


def wait_for(condition, timeout=STARTUP_TIMEOUT, interval=0.02, what="condition", detail=None):
    """Polls `condition` until it returns a true value, which is returned. On a timeout,
    `detail` (a callable) may say what was seen instead, for the failure's message."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            seen = (": " + detail()) if detail else ""
            raise DesktopError("timed out waiting for " + what + seen)
        time.sleep(interval)


def end_process(pid, timeout=5.0, proc=None):
    """Ends one process that we started, by its pid: SIGTERM, then SIGKILL if it lingers.
    A stopped process is continued first so that it can act on the signal. With `proc`, the
    Popen that started it, the process is reaped through it, so that its exit status stays
    known (reaped here behind Popen's back, it would later read as 0)."""
    def alive():
        if proc is not None:
            return proc.poll() is None
        return process_alive(pid)

    if not alive():
        return
    try:
        os.kill(pid, signal.SIGCONT)
        os.kill(pid, signal.SIGTERM)
    except ProcessLookupError:
        return
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if not alive():
            return
        time.sleep(0.02)
    try:
        os.kill(pid, signal.SIGKILL)
    except ProcessLookupError:
        pass


def process_alive(pid):
    """Whether the pid names a live process (not a zombie). Reaps it when it is our child."""
    try:
        done, _ = os.waitpid(pid, os.WNOHANG)
        if done == pid:
            return False
    except ChildProcessError:
        pass
    try:
        with open("/proc/%d/stat" % pid) as f:
            state = f.read().rsplit(")", 1)[1].split()[0]
        return state not in ("Z", "X")
    except (FileNotFoundError, ProcessLookupError, IndexError):
        return False


def cpu_seconds(pid):
    """The CPU time a process has used so far, user and system, in seconds."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def wait_until_idle(pid, spell=0.5, timeout=STARTUP_TIMEOUT):
    """Waits until the process has used next to no CPU time (under a tenth of `spell`) for a
    whole `spell` of seconds: an application done with its own start-up work."""
    def quiet():
        before = cpu_seconds(pid)
        time.sleep(spell)
        return cpu_seconds(pid) - before < spell / 10
    wait_for(quiet, timeout=timeout, interval=0, what="pid %d to go idle" % pid)


def process_report(pid):
    """A process's scheduler state, CPU time and where it sleeps, for a failure's message: a
    test application that stopped answering shows whether it is stuck, busy or gone."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        with open("/proc/%d/wchan" % pid) as f:
            wchan = f.read().strip() or "-"
        ticks = os.sysconf("SC_CLK_TCK")
        cpu = (int(fields[11]) + int(fields[12])) / ticks
        return "pid %d state %s cpu %.2f s waiting in %s" % (pid, fields[0], cpu, wchan)
    except (OSError, IndexError, ValueError):
        return "pid %d gone" % pid


class LineChannel:
    """JSON lines over a child's standard input and output, with a timeout on every read."""

    def __init__(self, proc):
        self.proc = proc
        self.buffer = b""

    def send(self, obj):
        self.send_raw(json.dumps(obj, ensure_ascii=False) + "\n")

    def send_raw(self, text):
        self.proc.stdin.write(text.encode("utf-8"))
        self.proc.stdin.flush()

    def read(self, timeout=REPLY_TIMEOUT):
        deadline = time.monotonic() + timeout
        fd = self.proc.stdout.fileno()
        while b"\n" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                raise DesktopError("no answer from pid %d" % self.proc.pid)
            ready, _, _ = select.select([fd], [], [], left)
            if not ready:
                continue
            chunk = os.read(fd, 65536)
            if not chunk:
                raise DesktopError("pid %d closed its output" % self.proc.pid)
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\n", 1)
        return json.loads(line.decode("utf-8"))

    def ask(self, obj, timeout=REPLY_TIMEOUT):
        self.send(obj)
        return self.read(timeout)


class App:
    """One test application (apps/*.py): it announces itself with a "ready" line listing its
    windows (name → X window id), then answers one JSON line per command."""

    def __init__(self, desktop, script, extra_env=None, python=PYTHON):
        self.desktop = desktop
        env = dict(desktop.env)
        env.update(extra_env or {})
        self.proc = _start(
            [python, os.path.join(APPS, script)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
            env=env, cwd=desktop.home)
        self.pid = self.proc.pid
        self.channel = LineChannel(self.proc)
        ready = self.channel.read(STARTUP_TIMEOUT)
        if ready.get("ready") is not True:
            raise DesktopError("unexpected first line from %s: %r" % (script, ready))
        self.windows = ready["windows"]
        self.widgets = ready["widgets"]  # widget name → window name

    def command(self, **cmd):
        reply = self.channel.ask(cmd)
        if "error" in reply:
            raise DesktopError("%s: %s" % (cmd, reply["error"]))
        return reply

    def state(self, widget):
        """The application's own report: text, caret and selection (in code points), which
        widget has the focus, and whether the widget's window is active."""
        return self.command(cmd="state", widget=widget)

    def set(self, widget, text, caret=None, selection=None):
        cmd = {"cmd": "set", "widget": widget, "text": text}
        if caret is not None:
            cmd["caret"] = caret
        if selection is not None:
            cmd["selection"] = list(selection)
        return self.command(**cmd)

    def focus(self, widget):
        """Gives the widget the keyboard focus: the application focuses it in its window,
        the X focus goes to that window, and we wait until the application reports both."""
        window = self.widgets[widget]
        self.command(cmd="focus", widget=widget)
        self.desktop.focus_window(self.windows[window])

        def settled():
            s = self.state(widget)
            return s if s["focus"] == widget and s["active"] else None

        return wait_for(settled, what="focus on %s" % widget)

    def stop(self):
        try:
            self.proc.stdin.close()
        except OSError:
            pass
        end_process(self.pid, proc=self.proc)
        self.proc.wait()
        self.proc.stdout.close()


# Under the sanitizers (scripts/test.sh exports their options), the helper gets them too,
# with full stacks for leaks, so that the suppressions can name the library function that
# leaks rather than the allocator's frame.
SANITIZER_VARIABLES = ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS")


def sanitizer_environment():
    env = {k: os.environ[k] for k in SANITIZER_VARIABLES if k in os.environ}
    if "ASAN_OPTIONS" in env:
        env["ASAN_OPTIONS"] += ":fast_unwind_on_malloc=0"
        suppressions = "print_suppressions=0:suppressions=" + os.path.join(HERE, "lsan.supp")
        env["LSAN_OPTIONS"] = ":".join(filter(None, (env.get("LSAN_OPTIONS"), suppressions)))
    return env


class Terminal:
    """A terminal emulator whose program is `sh -c 'cat > FILE'`: what it receives is what was
    typed into it. By default the terminal's line discipline neither echoes (so a VTE
    terminal's screen, which caretsafe fingerprints, does not change under a test) nor waits
    for a whole line: every character reaches the file as it is typed. `echo=True` shows what
    is typed, `line_mode=True` passes a line only with its Return."""

    def __init__(self, desktop, kind, name, echo=False, line_mode=False):
        self.desktop = desktop
        self.kind = kind
        self.name = name
        self.file = os.path.join(desktop.root, name + ".txt")
        modes = ([] if echo else ["-echo"]) + ([] if line_mode else ["-icanon"])
        command = ("stty %s && " % " ".join(modes) if modes else "") + \
            "exec cat > '%s'" % self.file
        if kind == "xterm":
            argv = ["xterm", "-u8", "-title", name, "-e", "sh", "-c", command]
        elif kind == "sakura":
            # sakura parses its command line itself, shell-style.
            argv = ["sakura", "--title", name, "-x", 'sh -c "%s"' % command]
        else:
            raise DesktopError("no terminal " + kind)
        self.proc = _start(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, env=desktop.env, cwd=desktop.home)
        self.pid = self.proc.pid
        self.window = wait_for(lambda: os.path.exists(self.file) and desktop.window_of(self.pid),
                               what="a %s window" % kind)

    def received(self):
        """Everything the terminal's program has read so far, as text."""
        with open(self.file, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def focus(self):
        self.desktop.focus_window(self.window)

    def stop(self):
        if self.proc.poll() is None:
            end_process(self.pid, proc=self.proc)
        self.proc.wait()


class Helper:
    """The caretsafe binary as a host runs it, with its standard error kept to be checked."""

    def __init__(self, binary, env, args=()):
        self.stderr_file = tempfile.TemporaryFile()
        self.proc = _start(
            [binary, *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            stderr=self.stderr_file, env=env)
        self.pid = self.proc.pid
        self.channel = LineChannel(self.proc)

    def ask(self, timeout=None, **request):
        """The answer to one request; the time allowed grows with its text's length."""
        if timeout is None:
            text = request.get("text")
            units = len(text.encode("utf-16-le")) // 2 if isinstance(text, str) else 0
            timeout = REPLY_TIMEOUT + TEXT_UNIT_TIMEOUT * units
        return self.channel.ask(request, timeout)

    def ask_timed(self, **request):
        start = time.monotonic()
        answer = self.channel.ask(request)
        return answer, time.monotonic() - start

    def ask_reported(self, **request):
        """For the session driver: the answer and the driver's report on it (element
        references outstanding, AT-SPI requests made as [method, bus name, path])."""
        answer = self.channel.ask(request)
        return answer, self.channel.read()

    def stderr(self):
        self.stderr_file.seek(0)
        return self.stderr_file.read()

    # What `finish` answers for a helper that had to be ended: never 0, so that every check of
    # the exit status fails for a helper that hangs at exit.
    HUNG_AT_EXIT = "did not exit after its input ended"

    def finish(self, timeout=EXIT_TIMEOUT):
        """Closes standard input, waits for the exit; the exit status, or HUNG_AT_EXIT when
        the helper had to be ended (whatever status the signal then left)."""
        try:
            self.proc.stdin.close()
        except OSError:
            pass
        try:
            return self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            end_process(self.pid, proc=self.proc)
            self.proc.wait()
            return self.HUNG_AT_EXIT
        finally:
            self.proc.stdout.close()

    def stop(self):
        self.finish()
        self.stderr_file.close()


class Monitor:
    """dbus-monitor watching method calls on the accessibility bus, as text lines."""

    def __init__(self, desktop, match):
        self.output = tempfile.TemporaryFile()
        self.proc = _start(
            ["dbus-monitor", "--address", desktop.a11y_address, match],
            stdin=subprocess.DEVNULL, stdout=self.output, stderr=subprocess.DEVNULL,
            env=desktop.env)
        self.pid = self.proc.pid

    def lines(self):
        self.output.seek(0)
        return self.output.read().decode("utf-8", "replace").splitlines()

    def stop(self):
        if self.proc.poll() is None:
            end_process(self.pid, proc=self.proc)
        self.proc.wait()
        self.output.close()


def binary(variable):
    path = os.environ.get(variable)
    if not path:
        raise DesktopError(variable + " names the binary to test (set by CTest)")
    return path


def turn_on_accessibility(run):
    """Turns accessibility on through the session bus that `run` (a desktop's `_run`) reaches,
    waits for the accessibility bus and its registry to answer, and returns the bus's
    address."""
    run("gdbus", "call", "--session", "--dest", "org.a11y.Bus", "--object-path",
        "/org/a11y/bus", "--method", "org.freedesktop.DBus.Properties.Set",
        "org.a11y.Status", "IsEnabled", "<true>")

    def address():
        r = run("gdbus", "call", "--session", "--dest", "org.a11y.Bus", "--object-path",
                "/org/a11y/bus", "--method", "org.a11y.Bus.GetAddress", check=False)
        text = r.stdout.decode().strip()
        # ('unix:path=/…,guid=…',)
        if r.returncode == 0 and text.startswith("('unix:"):
            return text[2:-3]
        return None

    bus = wait_for(address, what="the accessibility bus")

    def registry():
        return run("gdbus", "call", "--address", bus, "--dest", "org.a11y.atspi.Registry",
                   "--object-path", "/org/a11y/atspi/accessible/root", "--method",
                   "org.freedesktop.DBus.Properties.Get", "org.a11y.atspi.Accessible",
                   "ChildCount", check=False).returncode == 0

    wait_for(registry, what="the accessibility registry")
    return bus


class Desktop:
    """Xvfb with a private session bus and accessibility turned on, in private folders."""

    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="caretsafe-desktop-")
        self.home = os.path.join(self.root, "home")
        self.runtime = os.path.join(self.root, "runtime")
        os.makedirs(self.home)
        os.makedirs(self.runtime, mode=0o700)
        os.chmod(self.runtime, 0o700)
        for sub in ("cache", "config", "data"):
            os.makedirs(os.path.join(self.home, sub))
        # A clean environment: nothing of the caller's session leaks in.
        self.env = {
            "PATH": "/usr/local/bin:/usr/bin:/bin",
            "HOME": self.home,
            "XDG_RUNTIME_DIR": self.runtime,
            "XDG_CACHE_HOME": os.path.join(self.home, "cache"),
            "XDG_CONFIG_HOME": os.path.join(self.home, "config"),
            "XDG_DATA_HOME": os.path.join(self.home, "data"),
            "GSETTINGS_BACKEND": "memory",
            "MESA_SHADER_CACHE_DISABLE": "true",
            "LANG": "C.UTF-8",
            "SHELL": "/bin/sh",
            "QT_QPA_PLATFORM": "xcb",
            "QT_LINUX_ACCESSIBILITY_ALWAYS_ON": "1",
            "QT_ACCESSIBILITY": "1",
        }
        self.xvfb = None
        self.display = None
        self.reserved_lock = None  # a display number kept taken after its server ended
        self.bus = None
        self.apps = []
        self.helpers = []
        self.monitors = []
        self.processes = []  # other programs started here, such as a window manager
        self.others = []  # pids of the bus launcher and the registry, started by our bus
        self.a11y_address = None

    # --- start-up -------------------------------------------------------------------------

    def start(self):
        try:
            self._start_x()
            self._start_bus()
            self._start_accessibility()
        except BaseException:
            self.stop()
            raise
        return self

    def _start_x(self):
        read_end, write_end = os.pipe()
        self.xvfb = _start(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x1024x24",
             "-nolisten", "tcp", "-noreset"],
            pass_fds=(write_end,), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL, env=self.env)
        os.close(write_end)
        number = b""
        deadline = time.monotonic() + STARTUP_TIMEOUT
        while not number.endswith(b"\n"):
            left = deadline - time.monotonic()
            ready, _, _ = select.select([read_end], [], [], max(left, 0))
            if not ready:
                raise DesktopError("Xvfb gave no display number")
            chunk = os.read(read_end, 64)
            if not chunk:
                raise DesktopError("Xvfb ended at start-up")
            number += chunk
        os.close(read_end)
        self.display = ":" + number.decode().strip()
        self.env["DISPLAY"] = self.display

    def _start_bus(self):
        # --nofork keeps the bus our own child; activated services inherit this environment,
        # DISPLAY included.
        self.bus = _start(
            ["dbus-daemon", "--session", "--nofork", "--print-address=1"],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
            env=self.env)
        ready, _, _ = select.select([self.bus.stdout], [], [], STARTUP_TIMEOUT)
        if not ready:
            raise DesktopError("the session bus gave no address")
        self.env["DBUS_SESSION_BUS_ADDRESS"] = self.bus.stdout.readline().decode().strip()

    def _run(self, *argv, check=True):
        result = subprocess.run(argv, env=self.env, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, timeout=STARTUP_TIMEOUT)
        if check and result.returncode != 0:
            raise DesktopError("%s failed: %s" % (argv[0], result.stderr.decode()))
        return result

    def _start_accessibility(self):
        self.a11y_address = turn_on_accessibility(self._run)
        self._run("xprop", "-root", "-f", "AT_SPI_BUS", "8s", "-set", "AT_SPI_BUS",
                  self.a11y_address)
        # The pids of what our bus started, so that stop() can see them end.
        launcher = self._owner_pid(["--session"], "org.a11y.Bus")
        registryd = self._owner_pid(["--address", self.a11y_address],
                                    "org.a11y.atspi.Registry")
        self.others = [p for p in (launcher, registryd) if p]

    def _owner_pid(self, bus_args, name):
        r = self._run("gdbus", "call", *bus_args, "--dest", "org.freedesktop.DBus",
                      "--object-path", "/org/freedesktop/DBus", "--method",
                      "org.freedesktop.DBus.GetConnectionUnixProcessID", name, check=False)
        text = r.stdout.decode().strip()  # (uint32 1234,)
        try:
            return int(text.split()[1].rstrip(",)"))
        except (IndexError, ValueError):
            return None

    # --- parts of a test ------------------------------------------------------------------

    def app(self, script, extra_env=None, app_id=None):
        """A test application; with `app_id`, run by a copy of the Python interpreter under
        that file name, so that it has that application id (the executable's name)."""
        python = PYTHON
        if app_id is not None:
            folder = os.path.join(self.root, "bin", app_id)
            python = os.path.join(folder, app_id)
            if not os.path.exists(python):
                os.makedirs(folder, exist_ok=True)
                shutil.copy2(os.path.realpath(PYTHON), python)
        app = App(self, script, extra_env, python)
        self.apps.append(app)
        return app

    def terminal(self, kind, name, echo=False, line_mode=False):
        """A terminal ("xterm" or "sakura") running `sh -c 'cat > FILE'` (see Terminal)."""
        t = Terminal(self, kind, name, echo, line_mode)
        self.apps.append(t)
        return t

    def browser(self, kind):
        """A real browser, "chromium" or "firefox", started as a user's browser is and showing
        the test page (browsers.py); ended by stop() like the applications."""
        from browsers import Browser
        b = Browser(self, kind)
        self.apps.append(b)
        return b

    def window_of(self, pid):
        """A mapped top-level window of the process, by its _NET_WM_PID; None while there is
        none."""
        r = self._run("xdotool", "search", "--onlyvisible", "--pid", str(pid), check=False)
        windows = r.stdout.decode().split()
        return int(windows[0]) if windows else None

    def helper(self, env_changes=None, args=(), program="CARETSAFE_BIN"):
        """caretsafe started as a host starts it, in this desktop's environment changed by
        `env_changes` (a None value removes the variable)."""
        env = dict(self.env)
        env.update(sanitizer_environment())
        for key, value in (env_changes or {}).items():
            if value is None:
                env.pop(key, None)
            else:
                env[key] = value
        h = Helper(binary(program), env, args)
        self.helpers.append(h)
        return h

    def driver(self):
        """The session driver: caretsafe's request loop over the same adapter, reporting
        after each answer what the adapter did."""
        return self.helper(program="CARETSAFE_LINUX_DRIVER")

    def monitor(self, match):
        """dbus-monitor on the accessibility bus with a match rule; its output is read with
        Monitor.lines()."""
        m = Monitor(self, match)
        self.monitors.append(m)
        return m

    def focus_window(self, xid):
        self._run("xdotool", "windowfocus", "--sync", str(xid))

    def xdotool_key(self, command, *keys):
        """Presses ("key"), holds ("keydown") or releases ("keyup") keys through XTest, as a
        user's keyboard would."""
        self._run("xdotool", command, *keys)

    def window_manager(self):
        """Starts twm, a window manager that reparents every top-level window into a frame of
        its own; returns its process, which the caller may end (the server then puts the
        windows back on the root window) or leave to stop()."""
        config = os.path.join(self.root, "twmrc")
        with open(config, "w") as f:
            # Xvfb has only its built-in core fonts.
            for item in ("TitleFont", "ResizeFont", "MenuFont", "IconFont", "IconManagerFont"):
                f.write('%s "fixed"\n' % item)
            f.write("RandomPlacement\nNoGrabServer\n")
        wm = _start(["twm", "-f", config], stdin=subprocess.DEVNULL,
                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=self.env)
        self.processes.append(wm)
        return wm

    def parent_of(self, xid):
        """The parent of a window, and whether that is the root window."""
        out = self._run("xwininfo", "-children", "-id", str(xid)).stdout.decode()
        ids = {}
        for line in out.splitlines():
            line = line.strip()
            for label in ("Root window id:", "Parent window id:"):
                if line.startswith(label):
                    ids[label] = int(line[len(label):].split()[0], 16)
        return ids["Parent window id:"], ids["Parent window id:"] == ids["Root window id:"]

    def locked_modifiers(self):
        """The keyboard's locked modifier mask (LockMask 0x2 for Caps Lock), from XKB."""
        return _xkb_locked_mods(self.display)

    def keymap(self):
        """The keyboard mapping now: keycode → tuple of its keysyms (empty for a spare)."""
        return _keymap(self.display)

    def set_keysym(self, keycode, keysym):
        """Maps a keycode to a keysym as another client would (0 empties it)."""
        _set_keysym(self.display, keycode, keysym)

    def set_window_property(self, window, name, value):
        """A window-id property on `window` (None: the root window); a None value removes it."""
        _set_window_property(self.display, window, name, value)

    def root_property(self, name):
        """A property of the root window as xprop prints it, or None when it is not set."""
        out = self._run("xprop", "-root", name).stdout.decode().strip()
        return None if "not found" in out or "no such atom" in out else out

    def focused_window(self):
        r = self._run("xdotool", "getwindowfocus")
        return int(r.stdout.decode().strip())

    def stop_x(self, keep_number=False):
        """Ends the X server alone (a display that goes away mid-run). With `keep_number`,
        the display's number stays taken until `stop`, so that a server another test starts
        meanwhile cannot take it and be found by a helper still looking for this one."""
        if self.xvfb is not None and self.xvfb.poll() is None:
            end_process(self.xvfb.pid, proc=self.xvfb)
            self.xvfb.wait()
        if keep_number and self.display is not None and self.reserved_lock is None:
            # The lock file X servers check before they take a number: a live pid in it (ours)
            # keeps it taken.
            lock = "/tmp/.X%s-lock" % self.display.lstrip(":")
            try:
                fd = os.open(lock, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o444)
            except FileExistsError:
                return  # another server has it already; nothing of ours to keep
            with os.fdopen(fd, "w") as f:
                f.write("%10d\n" % os.getpid())
            self.reserved_lock = lock

    def _release_number(self):
        if self.reserved_lock is not None:
            try:
                os.unlink(self.reserved_lock)
            except FileNotFoundError:
                pass
            self.reserved_lock = None

    # --- the end --------------------------------------------------------------------------

    def stop(self):
        for m in self.monitors:
            m.stop()
        for h in self.helpers:
            h.stop()
        for a in self.apps:
            a.stop()
        for p in self.processes:
            if p.poll() is None:
                end_process(p.pid, proc=p)
            p.wait()
        if self.bus is not None:
            # A child that was already waited for is not signalled: its pid may be reused.
            if self.bus.poll() is None:
                end_process(self.bus.pid, proc=self.bus)
            self.bus.wait()
            self.bus.stdout.close()
        # The bus launcher ends with the session bus, and the registry with the accessibility
        # bus; give them their time, then end any that is left, by its pid.
        for pid in self.others:
            try:
                wait_for(lambda: not process_alive(pid), timeout=5.0, what="pid %d" % pid)
            except DesktopError:
                end_process(pid)
        self.stop_x()
        self._release_number()
        shutil.rmtree(self.root, ignore_errors=True)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
