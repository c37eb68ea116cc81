"""A private headless Wayland desktop for tests: sway with one headless output and XWayland, a
session bus with accessibility turned on, a virtual keyboard on the seat, native Wayland GTK and
Qt test applications, foot, and the caretsafe helper itself.

sway refuses to run as root, so everything here runs as an unprivileged user made for the tests
(USER), in a temporary folder of its own. The test process (root) starts each process through
`setpriv` and ends it by its pid; processes that the desktop's own programs start (XWayland, the
accessibility bus launcher, the registry) are found at the end by the private runtime folder in
their environment, and ended by their pids too.

Run with /usr/bin/python3 (Debian's, which has `gi` and PyQt5). Run as a script, as the test
user, this file is the accessibility probe (see Probe).
"""

import fcntl
import glob
import json
import os
import pwd
import select
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from browsers import Browser  # noqa: E402
from desktop import (APPS, PYTHON, STARTUP_TIMEOUT, App, DesktopError,  # noqa: E402
                     Helper, LineChannel, Terminal, _start, binary, end_process,
                     process_alive, sanitizer_environment, turn_on_accessibility, wait_for)

USER = "caretsafe-test"
# Held while the user is looked up and made, so that two test modules starting at once do not
# both run useradd.
USER_LOCK = "/run/lock/caretsafe-test-user.lock"
# Run by the user's Python: prints the X window that holds XWayland's input focus (0 for none).
_X_FOCUS = """\
import ctypes, sys
xlib = ctypes.CDLL("libX11.so.6")
xlib.XOpenDisplay.restype = ctypes.c_void_p
xlib.XOpenDisplay.argtypes = [ctypes.c_char_p]
xlib.XGetInputFocus.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_ulong),
                                ctypes.POINTER(ctypes.c_int)]
xlib.XCloseDisplay.argtypes = [ctypes.c_void_p]
dpy = xlib.XOpenDisplay(None)
if not dpy:
    sys.exit(1)
window, revert = ctypes.c_ulong(), ctypes.c_int()
xlib.XGetInputFocus(dpy, ctypes.byref(window), ctypes.byref(revert))
print(window.value)
xlib.XCloseDisplay(dpy)
"""
# A long sleep for the virtual keyboard's client: it stays on the seat until stop() ends it.
KEYBOARD_SLEEP_MS = 24 * 3600 * 1000


def ensure_user():
    """The test user's (uid, gid), made if missing: a system account with no password and no
    login shell; nothing of root's is shared with it."""
    os.makedirs(os.path.dirname(USER_LOCK), exist_ok=True)
    with open(USER_LOCK, "a") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        try:
            entry = pwd.getpwnam(USER)
        except KeyError:
            result = subprocess.run(
                ["useradd", "--system", "--user-group", "--no-create-home",
                 "--home-dir", "/nonexistent", "--shell", "/usr/sbin/nologin", USER],
                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                timeout=STARTUP_TIMEOUT)
            try:
                entry = pwd.getpwnam(USER)
            except KeyError:
                raise DesktopError("useradd %s failed: %s" % (USER, result.stderr.decode()))
    return entry.pw_uid, entry.pw_gid


def _executable_by_others(path):
    """Whether a user that is neither the owner nor in the group can run `path`: every folder
    on the way searchable by others, the file executable by others."""
    path = os.path.realpath(path)
    folder = os.path.dirname(path)
    while True:
        if not os.stat(folder).st_mode & 0o001:
            return False
        if folder == "/":
            break
        folder = os.path.dirname(folder)
    return bool(os.stat(path).st_mode & 0o001)


# Run by the user's Python before a test application: on Wayland, GDK's windows have no X id,
# which the applications' ready line lists; they report 0 there, and the desktop finds windows
# through the compositor instead.
_BOOTSTRAP = """\
import runpy, sys
script = sys.argv[1]
sys.argv = sys.argv[1:]
try:
    import gi
    gi.require_version("Gdk", "3.0")
    from gi.repository import Gdk
    if not hasattr(Gdk.Window, "get_xid"):
        Gdk.Window.get_xid = lambda self: 0
except (ImportError, ValueError):
    pass
runpy.run_path(script, run_name="__main__")
"""


class WaylandApp(App):
    """A test application on the Wayland desktop; its windows are the compositor's."""

    def command(self, **cmd):
        # GTK maps a window again when it is presented, and the application then repeats its
        # ready line: not an answer.
        self.channel.send(cmd)
        while True:
            reply = self.channel.read()
            if "ready" not in reply:
                break
        if "error" in reply:
            raise DesktopError("%s: %s" % (cmd, reply["error"]))
        return reply

    def focus(self, widget):
        window = self.widgets[widget]
        self.command(cmd="focus", widget=widget)
        self.desktop.focus_window(self.desktop.window_of(self.pid, window))

        def settled():
            s = self.state(widget)
            return s if s["focus"] == widget and s["active"] else None

        return wait_for(settled, what="focus on %s" % widget)


class UserTerminal(Terminal):
    """A terminal run as the test user whose program is `sh -c 'cat > FILE'`, neither echoing
    nor waiting for a whole line, so every character reaches the file as it is typed:
    "foot" (native Wayland, no accessible), "sakura" (native Wayland VTE, an accessible) or
    "xterm" (X11 on XWayland, no accessible). What it received, its focus and its end come from
    desktop.py's Terminal."""

    def __init__(self, desktop, kind, name, extra_env=None):  # pylint: disable=super-init-not-called
        self.desktop = desktop
        self.kind = kind
        self.name = name
        self.file = os.path.join(desktop.home, name + ".txt")
        command = "stty -echo -icanon && exec cat > '%s'" % self.file
        if kind == "foot":
            argv = ["foot", "--title", name, "sh", "-c", command]
        elif kind == "sakura":
            # sakura parses its command line itself, shell-style.
            argv = ["sakura", "--title", name, "-x", 'sh -c "%s"' % command]
        elif kind == "xterm":
            argv = ["xterm", "-u8", "-title", name, "-e", "sh", "-c", command]
        else:
            raise DesktopError("no terminal " + kind)
        env = dict(desktop.env, **(extra_env or {}))
        self.log_file = os.path.join(desktop.home, name + ".log")
        with open(self.log_file, "wb") as log:
            self.proc = desktop.start_as_user(
                argv, env=env, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                cwd=desktop.home)
        self.pid = self.proc.pid
        self.window = wait_for(
            lambda: os.path.exists(self.file) and desktop.window_of(self.pid),
            what="a %s window" % kind)


    def errors(self):
        """The end of what the terminal wrote to its standard output and error."""
        try:
            with open(self.log_file, "rb") as f:
                return f.read()[-400:].decode("utf-8", "replace")
        except OSError:
            return ""


class WaylandBrowser(Browser):
    """A browser run as the desktop's test user: "chromium" and "firefox" native on Wayland,
    "chromium-x11" on XWayland. Its window is the compositor's (a con id)."""

    def __init__(self, desktop_, kind):
        self.wayland_kind = kind
        super().__init__(desktop_, "firefox" if kind == "firefox" else "chromium")

    def _chromium(self, url):
        argv = super()._chromium(url)
        platform = "x11" if self.wayland_kind == "chromium-x11" else "wayland"
        return [("--ozone-platform=" + platform) if a.startswith("--ozone-platform=") else a
                for a in argv]

    def _launch(self, argv, env):
        if self.kind == "firefox":
            env["MOZ_ENABLE_WAYLAND"] = "1"
        for folder, _, files in os.walk(self.profile):
            os.chown(folder, self.desktop.uid, self.desktop.gid)
            for name in files:
                os.chown(os.path.join(folder, name), self.desktop.uid, self.desktop.gid)
        return self.desktop.start_as_user(argv, env=env, stdin=subprocess.DEVNULL,
                                          stdout=self.log, stderr=self.log,
                                          cwd=self.desktop.home, start_new_session=True)

    def _find_window(self):
        for w in self.desktop.windows():
            if w["pid"] == self.pid and "caretsafe " + self.session in (w.get("name") or ""):
                return w["id"]
        return None


class KeyboardHolder:
    """Another keyboard on the seat with a modifier held down, as a user's own keyboard may
    have while something else types: a `wtype -M MODIFIER` that sleeps until stop()."""

    def __init__(self, desktop, modifier):
        before = desktop._keyboards()  # pylint: disable=protected-access
        self.proc = desktop.start_as_user(
            ["wtype", "-M", modifier, "-s", str(KEYBOARD_SLEEP_MS)],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.pid = self.proc.pid
        try:
            wait_for(lambda: self.proc.poll() is None and
                     desktop._keyboards() > before,  # pylint: disable=protected-access
                     what="a keyboard holding %s" % modifier)
        except BaseException:
            self.stop()
            raise

    def stop(self):
        if self.proc.poll() is None:
            end_process(self.pid, proc=self.proc)
        self.proc.wait()


def settled(read, quiet=0.5):
    """Waits until `read()` has answered the same for `quiet` seconds (what a terminal's
    program received settles once nothing more is on its way), and returns that answer."""
    last, since = read(), time.monotonic()
    while time.monotonic() - since < quiet:
        time.sleep(0.05)
        now = read()
        if now != last:
            last, since = now, time.monotonic()
    return last


class Probe:
    """The accessibility tree as the test user sees it, from a long-lived process of its own
    (this file run as a script): `snapshot()` lists every application with its pid, its top
    levels' roles and states, and its focused element."""

    def __init__(self, desktop):
        self.proc = desktop.start_as_user(
            [PYTHON, os.path.abspath(__file__)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.pid = self.proc.pid
        self.channel = LineChannel(self.proc)
        if self.channel.read(STARTUP_TIMEOUT).get("ready") is not True:
            raise DesktopError("the accessibility probe did not start")

    def snapshot(self):
        return self.channel.ask({"cmd": "snapshot"})["apps"]

    def stop(self):
        try:
            self.proc.stdin.close()
        except OSError:
            pass
        end_process(self.pid, proc=self.proc)
        self.proc.wait()
        self.proc.stdout.close()


class WaylandDesktop:
    """Headless sway, run as the test user, with a private session bus and accessibility on."""

    def __init__(self):
        self.uid, self.gid = ensure_user()
        self.root = tempfile.mkdtemp(prefix="caretsafe-wayland-")
        self.home = os.path.join(self.root, "home")
        self.runtime = os.path.join(self.root, "runtime")
        os.makedirs(self.home)
        os.makedirs(self.runtime, mode=0o700)
        for sub in ("cache", "config", "data", "bin"):
            os.makedirs(os.path.join(self.home, sub))
        for folder, _, _ in os.walk(self.root):
            os.chown(folder, self.uid, self.gid)
        os.chmod(self.root, 0o700)
        os.chmod(self.runtime, 0o700)
        self.env = {
            "PATH": "/usr/local/bin:/usr/bin:/bin",
            "HOME": self.home,
            "USER": USER,
            "LOGNAME": USER,
            "XDG_RUNTIME_DIR": self.runtime,
            "XDG_CACHE_HOME": os.path.join(self.home, "cache"),
            "XDG_CONFIG_HOME": os.path.join(self.home, "config"),
            "XDG_DATA_HOME": os.path.join(self.home, "data"),
            "XDG_SESSION_TYPE": "wayland",
            "GSETTINGS_BACKEND": "memory",
            "MESA_SHADER_CACHE_DISABLE": "true",
            "LANG": "C.UTF-8",
            "SHELL": "/bin/sh",
            "GDK_BACKEND": "wayland",
            "QT_QPA_PLATFORM": "wayland",
            "QT_LINUX_ACCESSIBILITY_ALWAYS_ON": "1",
            "QT_ACCESSIBILITY": "1",
        }
        self.sway = None
        self.sway_log = os.path.join(self.root, "sway.log")
        self.keyboard = None
        self.bus = None
        self.a11y_address = None
        self.wayland_display = None
        self.swaysock = None
        self.display = None  # XWayland's
        self.apps = []
        self.helpers = []
        self.probes = []
        self.holders = []  # keyboards holding a modifier (KeyboardHolder)
        self.others = []  # the bus launcher and the registry, started by our bus
        self._python = self._script("python", "exec %s -- %s %s \"$@\"" % (
            self._setpriv_words(), PYTHON, self._write("bootstrap.py", _BOOTSTRAP)))
        self._as_user = self._script("as-user", "exec %s -- \"$@\"" % self._setpriv_words())

    # --- running as the test user ---------------------------------------------------------

    def _setpriv(self):
        # --pdeathsig after the change of user: the kernel clears a parent-death signal when
        # a process's credentials change, and the process must still end with the test.
        return ["setpriv", "--reuid=%d" % self.uid, "--regid=%d" % self.gid, "--init-groups",
                "--pdeathsig=TERM"]

    def _setpriv_words(self):
        return " ".join(self._setpriv())

    def _write(self, name, text, mode=0o644):
        path = os.path.join(self.home, "bin", name)
        with open(path, "w") as f:
            f.write(text)
        os.chmod(path, mode)
        os.chown(path, self.uid, self.gid)
        return path

    def _script(self, name, line):
        return self._write(name, "#!/bin/sh\n" + line + "\n", 0o755)

    def start_as_user(self, argv, env=None, **options):
        """Popen of a process run as the test user, with this desktop's environment."""
        return _start(self._setpriv() + ["--"] + list(argv),
                      env=self.env if env is None else env, **options)

    def run_as_user(self, argv, env=None, timeout=STARTUP_TIMEOUT):
        """Runs a program as the test user, in this desktop's environment (or `env`), in its
        home, and waits for its end: a CompletedProcess with its output and error output.
        One still running after `timeout` is ended by its pid and TimeoutExpired raised."""
        proc = self.start_as_user(argv, env=env, stdin=subprocess.DEVNULL,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                  cwd=self.home)
        try:
            out, err = proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            end_process(proc.pid, proc=proc)
            proc.communicate()
            raise
        return subprocess.CompletedProcess(list(argv), proc.returncode, out, err)

    def _run(self, *argv, check=True, timeout=STARTUP_TIMEOUT):
        result = subprocess.run(self._setpriv() + ["--"] + list(argv), env=self.env,
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, timeout=timeout)
        if check and result.returncode != 0:
            raise DesktopError("%s failed: %s" % (argv[0], result.stderr.decode()))
        return result

    # --- start-up -------------------------------------------------------------------------

    def start(self):
        try:
            self._start_sway()
            self._start_keyboard()
            self._start_bus()
            self._start_accessibility()
        except BaseException:
            self.stop()
            raise
        return self

    def _start_sway(self):
        config = self._write("sway.config", "\n".join([
            "output HEADLESS-1 resolution 1280x800",
            # Started with the compositor, so that DISPLAY is known before any X client.
            "xwayland force",
            "default_border none",
            "default_floating_border none",
            "",
        ]))
        env = {k: v for k, v in self.env.items()}
        env.update({"WLR_BACKENDS": "headless", "WLR_RENDERER": "pixman",
                    "WLR_LIBINPUT_NO_DEVICES": "1"})
        with open(self.sway_log, "wb") as log:
            self.sway = self.start_as_user(["sway", "--config", config], env=env,
                                           stdin=subprocess.DEVNULL, stdout=log, stderr=log)

        def sockets():
            if self.sway.poll() is not None:
                raise DesktopError("sway ended at start-up:\n" + self.log_tail())
            ipc = glob.glob(os.path.join(self.runtime, "sway-ipc.*.%d.sock" % self.sway.pid))
            wayland = [p for p in glob.glob(os.path.join(self.runtime, "wayland-*"))
                       if not p.endswith(".lock")]
            return (ipc[0], os.path.basename(wayland[0])) if ipc and wayland else None

        self.swaysock, self.wayland_display = wait_for(sockets, what="sway's sockets")
        self.env["SWAYSOCK"] = self.swaysock
        self.env["WAYLAND_DISPLAY"] = self.wayland_display
        wait_for(lambda: self._run("swaymsg", "-t", "get_version", check=False).returncode == 0,
                 what="sway's IPC")
        self.display = wait_for(self._xwayland_display, what="XWayland")
        self.env["DISPLAY"] = self.display

    def _xwayland_display(self):
        for pid in self._our_processes():
            try:
                with open("/proc/%d/cmdline" % pid, "rb") as f:
                    argv = f.read().decode(errors="replace").split("\0")
            except OSError:
                continue
            if os.path.basename(argv[0]) == "Xwayland":
                for arg in argv[1:]:
                    if arg.startswith(":") and arg[1:].isdigit():
                        return arg
        return None

    def _start_keyboard(self):
        # A virtual keyboard on the seat for the desktop's whole life, as a user's keyboard is:
        # without one no window gets the keyboard focus.
        before = self._keyboards()
        self.keyboard = self.start_as_user(
            ["wtype", "-s", str(KEYBOARD_SLEEP_MS)],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for(lambda: self.keyboard.poll() is None and self._keyboards() > before,
                 what="the virtual keyboard")

    def _keyboards(self):
        inputs = json.loads(self._run("swaymsg", "-r", "-t", "get_inputs").stdout)
        return sum(1 for i in inputs if i.get("type") == "keyboard")

    def _start_bus(self):
        self.bus = self.start_as_user(
            ["dbus-daemon", "--session", "--nofork", "--print-address=1"],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        ready, _, _ = select.select([self.bus.stdout], [], [], STARTUP_TIMEOUT)
        if not ready:
            raise DesktopError("the session bus gave no address")
        self.env["DBUS_SESSION_BUS_ADDRESS"] = self.bus.stdout.readline().decode().strip()

    def _start_accessibility(self):
        self.a11y_address = turn_on_accessibility(self._run)

    # --- what runs here -------------------------------------------------------------------

    def _our_processes(self):
        """Pids of the test user's processes that belong to this desktop: their environment
        names its private runtime folder, which every process started here inherits."""
        marker = ("XDG_RUNTIME_DIR=" + self.runtime).encode()
        found = []
        for name in os.listdir("/proc"):
            if not name.isdigit():
                continue
            try:
                if os.stat("/proc/" + name).st_uid != self.uid:
                    continue
                with open("/proc/%s/environ" % name, "rb") as f:
                    if marker in f.read().split(b"\0"):
                        found.append(int(name))
            except OSError:
                continue
        return found

    # --- the compositor -------------------------------------------------------------------

    def swaymsg(self, *args):
        """swaymsg's raw JSON answer, parsed."""
        return json.loads(self._run("swaymsg", "-r", *args).stdout)

    def tree(self):
        return self.swaymsg("-t", "get_tree")

    def windows(self):
        """Every window (a view: a node with a pid) in the tree, depth first."""
        found = []

        def walk(node):
            if node.get("pid") and node.get("type") in ("con", "floating_con"):
                found.append(node)
            for child in node.get("nodes", []) + node.get("floating_nodes", []):
                walk(child)

        walk(self.tree())
        return found

    def focused(self):
        """The focused window's node, or None."""
        for w in self.windows():
            if w.get("focused"):
                return w
        return None

    def window_of(self, pid, name=None):
        """The con id of a window of the process (with `name`, the one whose title ends with
        it); None while there is none."""
        for w in self.windows():
            if w["pid"] == pid and (name is None or (w.get("name") or "").endswith(name)):
                return w["id"]
        return None

    def x_window(self, con_id):
        """The X window id of an XWayland window (None for a native one, or none at all)."""
        for w in self.windows():
            if w["id"] == con_id:
                return w.get("window")
        return None

    def x_focus(self):
        """The X window that holds XWayland's input focus, 0 for none. The compositor gives
        an XWayland window the X focus a little after its own, and until then X sends the
        keys elsewhere. Asked as the test user: XWayland lets only its own user in."""
        return int(self.run_as_user([PYTHON, "-c", _X_FOCUS]).stdout or 0)

    def focus_window(self, con_id):
        """Gives the window the keyboard focus and waits until the compositor says so."""
        self._run("swaymsg", "[con_id=%d] focus" % con_id)
        wait_for(lambda: (self.focused() or {}).get("id") == con_id,
                 what="the compositor's focus on %d" % con_id)

    # --- parts of a test ------------------------------------------------------------------

    def app(self, script, extra_env=None):
        """A test application from tests/linux/apps, native on Wayland, run as the test
        user."""
        if not os.path.exists(os.path.join(APPS, script)):
            raise DesktopError("no application " + script)
        app = WaylandApp(self, script, extra_env, self._python)
        self.apps.append(app)
        return app

    def terminal(self, kind, name, extra_env=None):
        """A terminal (see UserTerminal), its environment changed by `extra_env`, ended by
        stop()."""
        t = UserTerminal(self, kind, name, extra_env)
        self.apps.append(t)
        return t

    def foot(self, name):
        return self.terminal("foot", name)

    def xterm(self, name):
        return self.terminal("xterm", name)

    def browser(self, kind):
        """A real browser run as the test user, showing the test page (see WaylandBrowser);
        ended by stop() like the applications."""
        b = WaylandBrowser(self, kind)
        self.apps.append(b)
        return b

    def driver(self):
        """The session driver (caretsafe's request loop reporting what the adapter did), run
        as the test user."""
        return self.helper(program="CARETSAFE_LINUX_DRIVER")

    def hold_keyboard(self, modifier):
        """Another keyboard on the seat with `modifier` (wtype's name: ctrl, shift,
        capslock, ...) held down until its stop() or the desktop's."""
        holder = KeyboardHolder(self, modifier)
        self.holders.append(holder)
        return holder

    def probe(self):
        p = Probe(self)
        self.probes.append(p)
        return p

    def helper(self, env_changes=None, args=(), program="CARETSAFE_BIN"):
        """A binary of the build (by default caretsafe) started as a host starts it, as the
        test user, in this desktop's environment changed by `env_changes` (a None value
        removes the variable)."""
        path = binary(program)
        if not _executable_by_others(path):
            raise DesktopError("the test user cannot run %s: every folder on its path must be "
                               "searchable by others" % path)
        env = dict(self.env)
        env.update(sanitizer_environment())
        for key, value in (env_changes or {}).items():
            if value is None:
                env.pop(key, None)
            else:
                env[key] = value
        h = Helper(self._as_user, env, (path, *args))
        self.helpers.append(h)
        return h

    def log_tail(self, lines=30):
        try:
            with open(self.sway_log, "rb") as f:
                return b"\n".join(f.read().splitlines()[-lines:]).decode(errors="replace")
        except OSError:
            return ""

    # --- the end --------------------------------------------------------------------------

    def stop(self):
        for h in self.helpers:
            h.stop()
        for p in self.probes:
            p.stop()
        for a in self.apps:
            a.stop()
        for k in self.holders:
            k.stop()
        for proc in (self.keyboard, self.bus, self.sway):
            if proc is None:
                continue
            if proc.poll() is None:
                end_process(proc.pid, proc=proc)
            proc.wait()
            if proc.stdout is not None:
                proc.stdout.close()
        # What our programs started themselves (XWayland, the bus launcher, the registry)
        # ends with them; give it its time, then end by its pid whatever is left.
        try:
            wait_for(lambda: not self._our_processes(), timeout=5.0, what="the desktop's end")
        except DesktopError:
            for pid in self._our_processes():
                end_process(pid)
            for pid in self._our_processes():
                wait_for(lambda: not process_alive(pid), timeout=5.0, what="pid %d" % pid)
        shutil.rmtree(self.root, ignore_errors=True)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


# --- the accessibility probe, run as the test user -----------------------------------------

def _probe_main():
    import gi
    gi.require_version("Atspi", "2.0")
    from gi.repository import Atspi

    def states(acc):
        s = acc.get_state_set()
        return sorted(Atspi.StateType(v).value_nick for v in range(Atspi.StateType.LAST_DEFINED)
                      if s.contains(Atspi.StateType(v)))

    def focused_in(acc, depth=0):
        if depth > 40:
            return None
        try:
            if acc.get_state_set().contains(Atspi.StateType.FOCUSED):
                return acc
            for i in range(acc.get_child_count()):
                found = focused_in(acc.get_child_at_index(i), depth + 1)
                if found is not None:
                    return found
        except Exception:  # an application that went away mid-walk
            return None
        return None

    def snapshot():
        desktop = Atspi.get_desktop(0)
        apps = []
        for i in range(desktop.get_child_count()):
            app = desktop.get_child_at_index(i)
            if app is None:
                continue
            try:
                app.clear_cache()
                tops = []
                for j in range(app.get_child_count()):
                    top = app.get_child_at_index(j)
                    tops.append({"role": top.get_role_name(), "name": top.get_name(),
                                 "states": states(top)})
                focus = focused_in(app)
                apps.append({
                    "name": app.get_name(), "pid": app.get_process_id(), "toplevels": tops,
                    "focused": None if focus is None else {
                        "role": focus.get_role_name(), "states": states(focus)}})
            except Exception as e:  # noqa: BLE001 - reported, not fatal
                apps.append({"error": str(e)})
        return apps

    def write(obj):
        sys.stdout.write(json.dumps(obj) + "\n")
        sys.stdout.flush()

    write({"ready": True})
    for line in sys.stdin:
        cmd = json.loads(line)
        if cmd.get("cmd") == "snapshot":
            write({"apps": snapshot()})
        else:
            write({"error": "unknown command"})


if __name__ == "__main__":
    _probe_main()
