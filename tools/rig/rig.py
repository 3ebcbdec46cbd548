"""End-to-end rig: run a Windows executable under Wine on a private X server.

Usage:
    with rig.Desktop(size=(1280, 1024), renderer="vulkan") as desk:
        run = desk.run("zeltavo.exe", winedebug="+d3d11")
        wid = run.find_window(title="zeltavo")
        shot = desk.screenshot()
        desk.press("Escape")
        code = run.wait(10)

Exit codes: Wine hands the Linux parent only the low 8 bits of the Windows
exit code, so ExitProcess(-1) reads back as 255; compare against
wine_exit_code(windows_code). A negative code means the wine process was
killed by that signal.

A Desktop's screen and Wine's Direct3D renderer default to ZELTAVO_SCREEN
("1920x1080x24": width, height, colour depth) and ZELTAVO_RENDERER ("gl", Wine's
Direct3D over OpenGL, or "vulkan", over Vulkan), so that ctest can run a whole suite
again on another screen or renderer.

Starting Xvfb, openbox, the Wine server, the prefix and the session's Wine services is
the environment, not the program under test: each wait there watches the process it
waits for and fails with that process's log, as EnvironmentFailure, and a Desktop whose
environment fails to start is started once more, on a fresh display with a fresh prefix,
saying so. A program's own run is never repeated.
"""
import collections
import contextlib
import ctypes
import fcntl
import os
import re
import select
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
from PIL import ImageGrab

RENDERERS = ("gl", "vulkan")
# Sets up Wine's environment, makes the prefix once and execs the program (same pid).
WINE_RUN = Path(__file__).resolve().parents[1] / "build" / "wine-run"

Screenshot = collections.namedtuple("Screenshot", "pixels t_before t_after")
# pid is the Windows process id, None unless the run was traced with +pid.
TraceCall = collections.namedtuple("TraceCall", "timestamp thread function args pid")

# "1234.567:0020:0024:trace:win:WIN_CreateWindowEx args"; +timestamp and +pid optional.
_TRACE_RE = re.compile(
    r"^(?:(?P<ts>\d+\.\d+):)?(?:(?P<pid>[0-9a-f]{4,8}):)?(?P<tid>[0-9a-f]{4,8}):"
    r"(?P<cls>trace|warn|err|fixme):(?P<ch>\w+):(?P<fn>\w+) ?(?P<args>.*)$")
# What the process that meets an unhandled exception prints before it ends with the
# exception's code (whose low byte is what the Linux parent sees: the prefix has no
# debugger that could kill it with another, see wine-run). The line carries no process id.
_UNHANDLED_RE = re.compile(r"^wine: Unhandled .*\(thread (?P<tid>[0-9a-f]+)\).*$", re.M)
# How long the environment may take to start, step by step: the prefix is made once per
# build tree (wineboot --init, 15 to 35 s on a busy 2-core machine), everything else is
# up within a few seconds (openbox within 0.4 s, the session's services within 5 s with
# the cores busy). Only a process that is still alive is waited for.
PREFIX_SECONDS = 300
START_SECONDS = 30


def default_screen():
    """(width, height, depth) of the screen a Desktop gets by default."""
    width, height, depth = os.environ.get("ZELTAVO_SCREEN", "1920x1080x24").split("x")
    return int(width), int(height), int(depth)


def default_renderer():
    """The Direct3D renderer a Desktop's programs get by default."""
    name = os.environ.get("ZELTAVO_RENDERER", "gl")
    if name not in RENDERERS:
        raise ValueError("ZELTAVO_RENDERER=%s: not one of %s" % (name, RENDERERS))
    return name


def wine_clock():
    """Seconds on the clock of Wine's timestamps: CLOCK_MONOTONIC_RAW, which is not
    time.monotonic()'s clock (CLOCK_MONOTONIC runs at the rate NTP sets, so the two part
    by a few microseconds a second: 0.2 s after 11 hours on the build machine)."""
    return time.clock_gettime(time.CLOCK_MONOTONIC_RAW)


def wine_exit_code(windows_code):
    """What wait() returns for a program that exits with windows_code."""
    return windows_code & 0xFF


def trace_calls(text, channel=None, function=None, kind="trace"):
    """Yield TraceCall for each Wine debug line of channel and function and of kind
    (trace, warn, err or fixme); None stands for any.

    timestamp is Wine's tick count in seconds (None without +timestamp): the clock
    of wine_clock(), but refreshed only on wineserver calls, so it may lag by tens
    of ms and is never ahead. Wine's internal calls show up too (e.g. a
    ClipCursor(NULL) at process start, on another thread than the program's).
    """
    for line in text.splitlines():
        m = _TRACE_RE.match(line)
        if (m and channel in (None, m["ch"]) and kind in (None, m["cls"])
                and (function is None or m["fn"] == function)):
            ts = float(m["ts"]) if m["ts"] else None
            yield TraceCall(ts, m["tid"], m["fn"], m["args"], m["pid"])


def windows_pid(trace, exe):
    """The Windows process id of the program exe in its traced stream, from the loading
    of its own executable (None when the run was not traced): the processes that Wine
    starts for it, such as the desktop's explorer.exe, write to the same stream."""
    loaded = re.search(r'^(?:\d+\.\d+:)?([0-9a-f]{4,8}):[0-9a-f]{4,8}:trace:loaddll:\w+ '
                       r'Loaded L"(?:[^"]*\\\\)?%s"' % re.escape(Path(exe).name), trace,
                       re.M | re.I)
    return loaded and loaded[1]


def program_crash(trace, exe, code):
    """How the program exe's own process crashed, from its stream and exit status, or None.

    A process that meets an unhandled exception ends with the exception's code, and one
    that dies in Wine's Unix side on a signal (a negative status). Wine's "wine: Unhandled
    ..." line counts only when its thread is one of the program's, by the process id that
    a traced run shows on every line; in an untraced run, only when the program ended with
    an error code (a helper's crash does not end the program)."""
    if code is not None and code < 0:
        return "the program's wine process was killed by %s (status %d)" % (
            signal.Signals(-code).name, code)
    pid = windows_pid(trace, exe)
    for match in _UNHANDLED_RE.finditer(trace):
        own = pid and re.search(r"^(?:\d+\.\d+:)?%s:%s:" % (pid, match["tid"]), trace, re.M)
        if own or (pid is None and code):
            return match[0]
    return None


def windows_program(name):
    """Path of a program of the Windows build: ZELTAVO_WINDOWS_BIN/<name>.exe."""
    exe = Path(os.environ["ZELTAVO_WINDOWS_BIN"]) / (name + ".exe")
    if not exe.exists():
        raise FileNotFoundError("%s: build the project first" % exe)
    return exe


def wine_prefix():
    default = Path(os.environ.get("XDG_CACHE_HOME", Path.home() / ".cache"), "zeltavo",
                   "wineprefix")
    return Path(os.environ.get("ZELTAVO_WINEPREFIX", default)).resolve()


def _base_env(prefix, display=None):
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    env.update(ZELTAVO_WINEPREFIX=str(prefix), WINEPREFIX=str(prefix), WINEDEBUG="-all")
    if display:
        env["DISPLAY"] = display
    return env


@contextlib.contextmanager
def prefix_lock(prefix):
    """Exclusive lock on the prefix, across processes (flock on a sibling file)."""
    prefix.parent.mkdir(parents=True, exist_ok=True)
    with open(str(prefix) + ".lock", "w") as f:
        fcntl.flock(f, fcntl.LOCK_EX)
        yield


def wait_for(fn, timeout, what, step=0.05):
    """Call fn until it returns something truthy; return that, or raise TimeoutError."""
    end = time.monotonic() + timeout
    while True:
        value = fn()
        if value:
            return value
        if time.monotonic() > end:
            raise TimeoutError("timed out after %.1f s waiting for %s" % (timeout, what))
        time.sleep(step)


class EnvironmentFailure(RuntimeError):
    """Xvfb, openbox, the Wine server, the prefix or the session's Wine services did not
    start: the machine's failure, not the program's."""


def log_tail(path, lines=30):
    text = Path(path).read_text(errors="replace") if Path(path).exists() else ""
    return "\n".join(text.splitlines()[-lines:]) or "(nothing logged)"


def wait_while_alive(fn, proc, log, timeout, what, step=0.05):
    """wait_for on a helper process of the environment: fails as soon as the helper has
    ended, and on time-out, with EnvironmentFailure and the helper's log."""
    end = time.monotonic() + timeout
    while True:
        value = fn()
        if value:
            return value
        code = proc.poll()
        if code is not None:
            raise EnvironmentFailure("%s ended with code %d while waiting for %s; its log:\n%s"
                                     % (proc.args[0], code, what, log_tail(log)))
        if time.monotonic() > end:
            raise EnvironmentFailure("timed out after %.1f s waiting for %s, %s still running;"
                                     " its log:\n%s" % (timeout, what, proc.args[0], log_tail(log)))
        time.sleep(step)


def _server_socket(prefix):
    # Debian's wine keeps its server dir under a random /tmp name recorded in
    # <prefix>/wineserver; upstream uses /tmp/.wine-<uid>.
    redirect = prefix / "wineserver"
    base = redirect.read_text().strip() if redirect.exists() else ".wine-%d" % os.getuid()
    st = os.stat(prefix)
    return Path("/tmp", base, "server-%x-%x" % (st.st_dev, st.st_ino), "socket")


def descendants(root=None):
    """Pids of all live-or-zombie descendants of root (default: this process)."""
    children = collections.defaultdict(list)
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                stat = Path("/proc", entry, "stat").read_text()
            except OSError:
                continue
            # comm may hold spaces or ')': ppid is the 2nd field after the last ')'.
            children[int(stat.rsplit(")", 1)[1].split()[1])].append(int(entry))
    found, todo = [], [root or os.getpid()]
    while todo:
        kids = children.get(todo.pop(), [])
        found += kids
        todo += kids
    return found


class Run:
    """One program started under wine by Desktop.run()."""

    def __init__(self, desktop, args, env, logdir, cwd, stdout=None):
        self.desktop = desktop
        self.args = args
        self._stderr_path = logdir / "stderr.txt"
        self._stdout_path = logdir / "stdout.txt"
        self.started = wine_clock()
        with open(self._stderr_path, "wb") as err, open(self._stdout_path, "wb") as out:
            self._proc = subprocess.Popen([str(WINE_RUN)] + args, env=env,
                                          stdout=out if stdout is None else stdout,
                                          stderr=err, stdin=subprocess.DEVNULL, cwd=cwd)
        self.pid = self._proc.pid  # the Windows program itself: wine-run execs into it
        # The read end when the program's standard output is subprocess.PIPE.
        self.output = self._proc.stdout
        self.ended = None

    def wait(self, timeout=30):
        """Exit code (0..255, see module doc); raises TimeoutExpired if still running."""
        code = self._proc.wait(timeout)
        if self.ended is None:
            self.ended = wine_clock()
        return code

    def poll(self):
        return self._proc.poll()

    @property
    def wall_seconds(self):
        return (self.ended or wine_clock()) - self.started

    @property
    def trace(self):
        return self._stderr_path.read_text(errors="replace")

    @property
    def stdout(self):
        return self._stdout_path.read_text(errors="replace")

    def kill(self):
        if self._proc.poll() is None:
            self._proc.kill()
        return self.wait()

    def crash(self):
        """How the program's own process crashed, or None (see program_crash); call it
        once the run has ended."""
        return program_crash(self.trace, self.args[0], self.poll())

    def find_window(self, title=None, cls=None, timeout=20):
        return self.desktop.find_window(title, cls, pid=self.pid, timeout=timeout)

    def screenshot(self):
        return self.desktop.screenshot()


class Desktop:
    """Private Xvfb + openbox + warm wineserver; everything ended by pid on exit.

    size is the screen's (width, height), depth its bits per pixel; renderer picks
    Wine's Direct3D renderer for every program run on it. The prefix lock is held for
    the Desktop's lifetime, so test processes that share a prefix take turns instead of
    sharing (and killing) one wineserver. The session's Wine services (services.exe and
    the drivers and servers it starts) are started with the desktop and write to its own
    log, so that a program's stream holds only what the program and the processes it
    starts itself write.
    """

    def __init__(self, prefix=None, size=None, depth=None, renderer=None):
        self.prefix = Path(prefix) if prefix else wine_prefix()
        self.size = size or default_screen()[:2]
        self.depth = depth or default_screen()[2]
        self.renderer = renderer or default_renderer()
        self.display = None
        self.runs = []
        self.seen_pids = set()
        self._procs = []
        self._stack = contextlib.ExitStack()

    def __enter__(self):
        try:
            try:
                self._start(fresh_prefix=False)
            except EnvironmentFailure as failure:
                self._stop()
                print("rig: the environment did not start, so it is started once more on a"
                      " fresh display with a fresh prefix: %s" % failure, file=sys.stderr)
                self._start(fresh_prefix=True)
        except BaseException:
            self._stop()
            raise
        return self

    def _start(self, fresh_prefix):
        # Orphaned wine helpers (services.exe, explorer.exe ...) get reparented
        # to us instead of pid 1, so they can be found and reaped by pid.
        ctypes.CDLL(None, use_errno=True).prctl(36, 1, 0, 0, 0)  # PR_SET_CHILD_SUBREAPER
        self.logdir = Path(self._stack.enter_context(
            tempfile.TemporaryDirectory(prefix="zeltavo-e2e-")))
        if fresh_prefix:  # private to this desktop, gone with it
            self.prefix = self.logdir / "wineprefix"
        env = _base_env(self.prefix)
        self._helper_run([str(WINE_RUN)], "prefix", env, PREFIX_SECONDS)  # makes it once
        self._stack.enter_context(prefix_lock(self.prefix))
        # Only we may use this prefix now: clear a server left by a killed run.
        subprocess.run(["wineserver", "-k"], env=env, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=env, stderr=subprocess.DEVNULL)

        # Without -noreset the server resets whenever its last client leaves, and drops a
        # client still in its connection set-up: the first xprop below, done before
        # openbox has connected, then made openbox end with "Failed to open the display".
        read_fd, write_fd = os.pipe()
        w, h = self.size
        xvfb = self.spawn(["Xvfb", "-displayfd", str(write_fd), "-screen", "0",
                           "%dx%dx%d" % (w, h, self.depth), "-nolisten", "tcp", "-noreset"],
                          "xvfb", pass_fds=(write_fd,))
        os.close(write_fd)
        number = b""
        try:
            while not number.endswith(b"\n"):  # Xvfb writes the number, then "\n"
                chunk = wait_while_alive(
                    lambda: select.select([read_fd], [], [], 0.05)[0] and [os.read(read_fd, 16)],
                    xvfb, self.logdir / "xvfb.log", START_SECONDS, "its display number")[0]
                if not chunk:
                    xvfb.wait(5)
                    raise EnvironmentFailure("Xvfb ended before naming its display; its log:\n"
                                             + log_tail(self.logdir / "xvfb.log"))
                number += chunk
        finally:
            os.close(read_fd)
        self.display = ":" + number.decode().strip()

        self.env = _base_env(self.prefix, self.display)
        openbox = self.spawn(["openbox"], "openbox", env=self.env)
        wait_while_alive(lambda: "window id" in self._x(
            ["xprop", "-root", "_NET_SUPPORTING_WM_CHECK"], check=False),
            openbox, self.logdir / "openbox.log", START_SECONDS, "openbox to manage the screen")
        server = self.spawn(["wineserver", "-f", "-p"], "wineserver", env=self.env)
        wait_while_alive(lambda: _server_socket(self.prefix).exists(), server,
                         self.logdir / "wineserver.log", START_SECONDS, "the wineserver's socket")
        self._helper_run([str(WINE_RUN), "wineboot"], "session", self.env, START_SECONDS,
                         lasting=True)

    def _helper_run(self, argv, log, env, timeout, lasting=False):
        """Runs one step of the environment's start to its end; its log is <log>.log. The
        processes a lasting step starts (the session's services) go on writing there."""
        path = self.logdir / (log + ".log")
        if lasting:
            proc = self.spawn(argv, log, env=env)
        else:
            with path.open("wb") as f:
                proc = subprocess.Popen(argv, env=env, stdout=f, stderr=subprocess.STDOUT,
                                        stdin=subprocess.DEVNULL)
        try:
            code = proc.wait(timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
            raise EnvironmentFailure("timed out after %d s: %s; its log:\n%s"
                                     % (timeout, " ".join(argv), log_tail(path)))
        crashed = _UNHANDLED_RE.search(path.read_text(errors="replace"))
        if code or crashed:
            raise EnvironmentFailure("%s ended with code %d%s; its log:\n%s" % (
                " ".join(argv), code, ", a Wine process crashing" if crashed else "",
                log_tail(path)))

    def spawn(self, argv, log, **kw):
        """Start a helper process on this desktop; it is ended by pid on exit."""
        with open(self.logdir / (log + ".log"), "wb") as f:
            proc = subprocess.Popen(argv, stdout=f, stderr=subprocess.STDOUT,
                                    stdin=subprocess.DEVNULL, **kw)
        self._procs.append(proc)
        return proc

    def __exit__(self, *exc):
        self._stop()
        return False

    def _stop(self):
        for run in self.runs:
            with contextlib.suppress(Exception):
                run.kill()
        if self.display:
            # Asks only this prefix's server (which we hold the lock on) to end
            # its wine processes; the sweep below catches anything left.
            with contextlib.suppress(Exception):
                subprocess.run(["wineserver", "-k"], env=self.env, timeout=10,
                               stderr=subprocess.DEVNULL)
        for proc in reversed(self._procs):
            self.seen_pids.add(proc.pid)
            if proc.poll() is None:
                proc.terminate()
            try:
                proc.wait(5)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        for pid in descendants():
            self.seen_pids.add(pid)
            with contextlib.suppress(ProcessLookupError):
                os.kill(pid, signal.SIGKILL)
            with contextlib.suppress(ChildProcessError):
                os.waitpid(pid, 0)
        self._stack.close()
        self._stack = contextlib.ExitStack()
        self.runs, self._procs = [], []

    def _x(self, argv, check=True):
        res = subprocess.run(argv, env=self.env, capture_output=True, text=True, timeout=20)
        if check and res.returncode:
            raise RuntimeError("%s failed: %s" % (argv[0], res.stderr.strip()))
        return res.stdout

    def run(self, exe, *args, env=None, winedebug=None, cwd=None, stdout=None):
        """Start exe under wine (non-blocking). winedebug e.g. "+win,+d3d11"
        (+timestamp, +pid and +loaddll are added: Run.crash tells the program's own lines
        by them); None means WINEDEBUG=-all. env entries override
        the rig's, but for WINE_D3D_CONFIG (e.g. "csmt=0"), which is added to the
        desktop's choice of renderer. The program's standard output goes to a file
        (Run.stdout) unless stdout says where: subprocess.PIPE (read Run.output as
        the program writes), an open file or a file descriptor."""
        env = dict(env or {})
        settings = "renderer=" + self.renderer
        if "WINE_D3D_CONFIG" in env:
            settings += "," + env.pop("WINE_D3D_CONFIG")
        full_env = dict(self.env, WINE_D3D_CONFIG=settings)
        if winedebug:
            full_env["WINEDEBUG"] = "+timestamp,+pid,+loaddll," + winedebug
        full_env.update(env)
        logdir = Path(tempfile.mkdtemp(prefix="run-", dir=self.logdir))
        run = Run(self, [str(exe)] + [str(a) for a in args], full_env, logdir, cwd, stdout)
        self.runs.append(run)
        self.seen_pids.add(run.pid)
        return run

    def screenshot(self):
        """Whole screen as uint8 (H, W, 3) RGB with wine_clock() times around the grab."""
        t0 = wine_clock()
        image = ImageGrab.grab(xdisplay=self.display)
        t1 = wine_clock()
        return Screenshot(np.asarray(image.convert("RGB")), t0, t1)

    def press(self, key, wid=None):
        """xdotool key name ("Escape", "q", "alt+Return"). Without wid the key goes
        through XTEST to the focused window, as a user's keyboard would."""
        target = ["--window", str(wid)] if wid else []
        res = subprocess.run(["xdotool", "key"] + target + [key], env=self.env,
                             capture_output=True, text=True, timeout=20)
        # A key that closes the program destroys the window before xdotool sends
        # the release event; that BadWindow is the expected outcome, not a failure.
        # But the X server then holds the key down and auto-repeats it into whatever
        # has the focus next, another program on this desktop included: release it.
        if res.returncode and "BadWindow" in res.stderr:
            subprocess.run(["xdotool", "keyup", key], env=self.env, capture_output=True,
                           timeout=20)
        elif res.returncode:
            raise RuntimeError("xdotool key failed: " + res.stderr.strip())

    def find_window(self, title=None, cls=None, pid=None, timeout=20):
        """X id of the first visible window matching all given criteria.
        Under Wine, the X WM_CLASS is the exe's file name ("probe.exe"), not the
        Windows class name; the latter shows in the +win trace only."""
        argv = ["xdotool", "search", "--all", "--onlyvisible"]
        if title is None and cls is None:
            argv += ["--name", ""]  # xdotool needs a pattern; "" matches all
        if title is not None:
            argv += ["--name", "^%s$" % re.escape(title)]
        if cls is not None:
            argv += ["--class", "^%s$" % re.escape(cls)]
        # xdotool's own --pid misses matches when combined with --name, so the
        # pid (_NET_WM_PID, which Wine sets to the program's pid) is checked here.
        def matches():
            wids = self._x(argv, check=False).split()
            return [int(w) for w in wids if pid is None or self._x(
                ["xdotool", "getwindowpid", w], check=False).strip() == str(pid)]
        return wait_for(matches, timeout, "window %r pid %s" % (argv[4:], pid))[0]

    def activate(self, wid):
        """Ask the window manager to activate the window, as a click on it would."""
        self._x(["xdotool", "windowactivate", str(wid)], check=False)

    def active_window(self):
        out = self._x(["xdotool", "getactivewindow"], check=False).strip()
        return int(out) if out else None

    def window_geometry(self, wid):
        """(x, y, width, height) in root coordinates."""
        out = self._x(["xwininfo", "-id", str(wid)])
        field = lambda name: int(re.search(name + r":\s+(-?\d+)", out).group(1))
        return (field("Absolute upper-left X"), field("Absolute upper-left Y"),
                field("Width"), field("Height"))

    def window_props(self, wid):
        """How the window looks to X and the window manager."""
        info = self._x(["xwininfo", "-id", str(wid)])
        props = self._x(["xprop", "-id", str(wid), "-notype", "WM_NAME", "WM_CLASS",
                         "_NET_WM_PID", "_NET_WM_STATE", "_MOTIF_WM_HINTS"])
        get = lambda name: (re.search(r"^%s\s*=\s*(.*)$" % name, props, re.M) or [None, ""])[1]
        motif = [int(v, 16) for v in re.findall(r"0x[0-9a-f]+", get("_MOTIF_WM_HINTS"))]
        return {
            "title": get("WM_NAME").strip('"'),
            "wm_class": tuple(re.findall(r'"([^"]*)"', get("WM_CLASS"))),
            "pid": int(get("_NET_WM_PID") or 0),
            "states": [s.strip() for s in get("_NET_WM_STATE").split(",") if s.strip()],
            "override_redirect": "Override Redirect State: yes" in info,
            "viewable": "Map State: IsViewable" in info,
            # Motif hints: flags bit 1 says the decorations field (index 2) is set.
            "decorated": not (len(motif) > 2 and motif[0] & 2 and motif[2] == 0),
        }
