"""A headless sway for the virtual keyboard's tests and benchmark, with the least they need:
the compositor, a keyboard on its seat, and clients started in it.

sway refuses to run as root, so it and every client run as an unprivileged user made for the
tests (`caretsafe-kb`), with a private XDG_RUNTIME_DIR (mode 700, owned by that user) and a
temporary HOME. The headless seat has no keyboard, and no window gets the keyboard focus until
one exists: a `wtype -s` with a long sleep keeps a virtual keyboard on the seat for the
session's whole life, as a user's real keyboard is. Every process is started here and ended
here by its pid.

Run with /usr/bin/python3.
"""

import ctypes
import json
import os
import pwd
import shutil
import signal
import subprocess
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
USER = "caretsafe-kb"
STARTUP_TIMEOUT = 30.0

_libc = ctypes.CDLL(None, use_errno=True)
_PR_SET_PDEATHSIG = 1


def _end_with_the_test():
    """The child gets SIGTERM when the test process dies, even when the test is killed before
    it can end the child itself. (setpriv sets it again after changing the user, which
    clears it.)"""
    _libc.prctl(_PR_SET_PDEATHSIG, signal.SIGTERM, 0, 0, 0)


def wait_for(condition, timeout, step=0.05):
    deadline = time.monotonic() + timeout
    while True:
        got = condition()
        if got:
            return got
        if time.monotonic() > deadline:
            return got
        time.sleep(step)


def _read(path):
    try:
        with open(path, encoding="utf-8") as f:
            return f.read()
    except FileNotFoundError:
        return ""


class SessionError(Exception):
    pass


def ensure_user():
    try:
        return pwd.getpwnam(USER)
    except KeyError:
        subprocess.run(["useradd", "--no-create-home", "--shell", "/usr/sbin/nologin", USER],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return pwd.getpwnam(USER)


class SwaySession:
    """A headless sway and its clients. Use as a context manager, or call close()."""

    def __init__(self, xwayland=False, keyboard_holder=True):
        self.user = ensure_user()
        self.procs = []
        self.dir = tempfile.mkdtemp(prefix="caretsafe-sway-")
        # The clients write their files here.
        os.chown(self.dir, self.user.pw_uid, self.user.pw_gid)
        self.runtime = os.path.join(self.dir, "runtime")
        self.home = os.path.join(self.dir, "home")
        for d in (self.runtime, self.home):
            os.mkdir(d, 0o700)
            os.chown(d, self.user.pw_uid, self.user.pw_gid)
        self.config = os.path.join(self.dir, "sway.conf")
        with open(self.config, "w") as f:
            f.write("output HEADLESS-1 resolution 1280x800\n")
            f.write("xwayland %s\n" % ("enable" if xwayland else "disable"))
            f.write("focus_on_window_activation focus\n")
        self.env = {
            "PATH": "/usr/local/bin:/usr/bin:/bin",
            "HOME": self.home,
            "XDG_RUNTIME_DIR": self.runtime,
            "XDG_CONFIG_HOME": os.path.join(self.home, ".config"),
            "XDG_CACHE_HOME": os.path.join(self.home, ".cache"),
            "LANG": "C.UTF-8",
            "SHELL": "/bin/sh",
            "GSETTINGS_BACKEND": "memory",
            "NO_AT_BRIDGE": "1",
            "WLR_BACKENDS": "headless",
            "WLR_RENDERER": "pixman",
            "WLR_LIBINPUT_NO_DEVICES": "1",
        }
        try:
            self.sway = self.spawn(["sway", "-c", self.config], stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL, session=False)
            socket = wait_for(self._wayland_socket, STARTUP_TIMEOUT)
            ipc = wait_for(self._ipc_socket, STARTUP_TIMEOUT)
            if not socket or not ipc:
                raise SessionError("sway did not start")
            self.env["WAYLAND_DISPLAY"] = socket
            self.env["SWAYSOCK"] = os.path.join(self.runtime, ipc)
            if keyboard_holder:
                self.holder = self.hold_keyboard()
        except BaseException:
            self.close()
            raise

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _wayland_socket(self):
        for name in sorted(os.listdir(self.runtime)):
            if name.startswith("wayland-") and not name.endswith(".lock"):
                return name
        return None

    def _ipc_socket(self):
        for name in os.listdir(self.runtime):
            if name.startswith("sway-ipc."):
                return name
        return None

    def path(self, name):
        """A file in the session's folder, which its clients may write."""
        return os.path.join(self.dir, name)

    def _argv(self, argv):
        return ["setpriv", "--reuid", str(self.user.pw_uid), "--regid", str(self.user.pw_gid),
                "--init-groups", "--pdeathsig", "TERM"] + list(argv)

    def spawn(self, argv, env=None, session=True, **options):
        """Starts a client as the session's user; it is ended by close() unless ended first."""
        full_env = dict(self.env)
        full_env.update(env or {})
        options.setdefault("stdin", subprocess.DEVNULL)
        proc = subprocess.Popen(self._argv(argv), env=full_env, cwd=self.dir,
                                preexec_fn=_end_with_the_test, **options)
        self.procs.append(proc)
        return proc

    def run(self, argv, env=None, timeout=60, **options):
        """Runs a program as the session's user to its end; its CompletedProcess."""
        full_env = dict(self.env)
        full_env.update(env or {})
        options.setdefault("stdin", subprocess.DEVNULL)
        return subprocess.run(self._argv(argv), env=full_env, cwd=self.dir, timeout=timeout,
                              preexec_fn=_end_with_the_test, **options)

    def hold_keyboard(self, modifier=None, ms=3600 * 1000):
        """A long-lived virtual keyboard on the seat (with `modifier` held down, if given)."""
        before = self.keyboard_count()
        argv = ["wtype"] + (["-M", modifier] if modifier else []) + ["-s", str(ms)]
        proc = self.spawn(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_for(lambda: self.keyboard_count() > before, STARTUP_TIMEOUT):
            raise SessionError("no keyboard appeared on the seat")
        return proc

    def x_display(self):
        """XWayland's display name (sway starts XWayland when the first X client connects)."""
        if getattr(self, "_x_display", None) is None:
            path = self.path("x-display")
            self.swaymsg("exec", "echo $DISPLAY > '%s'" % path)
            got = wait_for(lambda: _read(path).strip(), STARTUP_TIMEOUT)
            if not got:
                raise SessionError("sway gave no X display")
            self._x_display = got
        return self._x_display

    def swaymsg(self, *args):
        got = self.run(["swaymsg", "-r"] + list(args), capture_output=True, timeout=20)
        if got.returncode != 0:
            return None
        return json.loads(got.stdout)

    def keyboard_count(self):
        inputs = self.swaymsg("-t", "get_inputs") or []
        return sum(1 for i in inputs if i.get("type") == "keyboard")

    def focused(self):
        """The focused window's node in sway's tree (app_id, pid, name, ...), or None."""
        tree = self.swaymsg("-t", "get_tree")
        stack = [tree] if tree else []
        while stack:
            node = stack.pop()
            if node.get("focused") and node.get("type") in ("con", "floating_con"):
                return node
            stack.extend(node.get("nodes", []) + node.get("floating_nodes", []))
        return None

    def wait_focused(self, pid, timeout=STARTUP_TIMEOUT):
        return wait_for(lambda: (self.focused() or {}).get("pid") == pid, timeout)

    def end(self, proc):
        """Ends one process this session started, by its pid."""
        if proc.poll() is None:
            try:
                proc.send_signal(signal.SIGCONT)
                proc.terminate()
                proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait(timeout=5)
        for stream in (proc.stdin, proc.stdout, proc.stderr):
            if stream is not None:
                stream.close()
        if proc in self.procs:
            self.procs.remove(proc)

    def close(self):
        # Clients first, the compositor last.
        for proc in reversed(list(self.procs)):
            self.end(proc)
        shutil.rmtree(self.dir, ignore_errors=True)
