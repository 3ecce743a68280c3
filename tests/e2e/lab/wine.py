"""The only code that starts Wine. A ``Target`` is what runs where (family,
build, prefix kind); a ``Machine`` is a throwaway copy of a cached base prefix
that arranges, runs programs, takes a probe ``Snapshot`` and restarts.

Each new session performs the delayed moves and wininit.ini renames, as a
restart would, so a Machine starts its session before anything is placed.
"""

import collections
import contextlib
import fcntl
import os
import pathlib
import select
import shutil
import subprocess
import tempfile
import time
import zlib

from . import facts

LOADERS = {"win32": "/usr/lib/wine/wine", "win64": "/usr/lib/wine/wine64"}
WINESERVER = shutil.which("wineserver") or "wineserver"
ARCH_VARIABLE = "HALUNUPD_WINE_ARCH"
SYSTEM32 = "C:\\windows\\system32"
SETUP_DIR = "C:\\setup"
# The resident's command line when the tool starts it again, as its log shows it.
RELAUNCH = (SYSTEM32 + "\\" + facts.MANAGED["installed_exe"]).lower() + facts.DOCUMENTED["relaunch_argument"]
SKIPPED = 77  # the exit status CTest reports as skipped


class Unavailable(Exception):
    """This host cannot run what was asked; the text says why."""


class Skip(Unavailable):
    """The family cannot run on this host (reported as skipped)."""


class NotReady(Exception):
    """A program started in the background did not get ready."""


def _try_loader(arch):
    """None when the loader of `arch` runs here, else why it does not."""
    loader = LOADERS[arch]
    if not os.path.exists(loader):
        return "%s is not installed" % loader
    try:
        result = subprocess.run([loader, "--version"], stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, timeout=60)
    except OSError as error:  # "Exec format error" without 32-bit execution
        return "%s cannot be executed: %s" % (loader, error.strerror)
    except subprocess.TimeoutExpired:
        return "%s --version did not end within 60 s" % loader
    return None if result.returncode == 0 else "%s --version failed" % loader


_decision = None


def decide_arch():
    """(arch, reason): 'win32' where 32-bit Wine runs, else 'win64'; HALUNUPD_WINE_ARCH
    forces either. Raises Unavailable when the chosen or every Wine cannot run."""
    global _decision
    if _decision is None:
        forced = os.environ.get(ARCH_VARIABLE, "").strip().lower()
        if forced:
            why = ("expected one of win32, win64" if forced not in LOADERS else _try_loader(forced))
            _decision = (Unavailable("%s=%s, but %s" % (ARCH_VARIABLE, forced, why)) if why
                         else (forced, "forced by %s" % ARCH_VARIABLE))
        elif (why32 := _try_loader("win32")) is None:
            _decision = ("win32", "this host runs 32-bit Wine")
        elif (why64 := _try_loader("win64")) is None:
            _decision = ("win64", "this host cannot run 32-bit Wine (%s)" % why32)
        else:
            _decision = Unavailable("this host runs neither 32-bit Wine (%s) nor 64-bit Wine (%s)" % (why32, why64))
    if isinstance(_decision, Exception):
        raise _decision
    return _decision


Target = collections.namedtuple("Target", "family arch exe fixtures described")
Target.__doc__ = """family: a row of tests/families.json; arch: the prefix kind
(win32 or win64); exe: the halunupd.exe build run; fixtures: its fixtures."""


def target(family, exe32, exe64):
    """The Target of `family` here: the 64-bit family runs `exe32` under WOW64
    (Skip where it cannot), every other the build decide_arch() calls for."""
    row = facts.FAMILIES[family]
    if row["64-bit"]:
        # Both loaders must run, whatever decide_arch() chose.
        for arch, what in (("win32", "cannot execute 32-bit programs"), ("win64", "cannot run 64-bit Wine")):
            if why := _try_loader(arch):
                raise Skip("the 64-bit Windows family runs the shipped i686 build under WOW64, and this host %s"
                           " (%s)" % (what, why))
        arch, exe, how, reason = "win64", exe32, "the shipped i686 halunupd.exe in a 64-bit prefix, under WOW64", ""
    else:
        arch, reason = decide_arch()
        exe, how = ((exe32, "the shipped i686 halunupd.exe in a 32-bit prefix") if arch == "win32"
                    else (exe64, "the x86_64 build of halunupd.exe in a 64-bit prefix"))
        reason = " (%s)" % reason
    if not exe or not os.path.exists(exe):
        raise Unavailable("%s needs %s%s, which is missing (%r)" % (family, how, reason, exe))
    exe = os.path.abspath(exe)
    return Target(row, arch, exe, os.path.join(os.path.dirname(exe), "fixtures"), "%s: %s%s" % (how, exe, reason))


def _env(prefix, arch, extra=None):
    env = dict(os.environ, WINEPREFIX=prefix, WINEARCH=arch, WINEDLLOVERRIDES="mscoree,mshtml=")
    env.setdefault("WINEDEBUG", "-all")
    env.pop("DISPLAY", None)  # headless: hidden windows still get messages
    env.pop("WINELOADER", None)
    if arch == "win64":
        env["WINELOADER"] = LOADERS["win64"]  # the wine wrapper prefers the 32-bit one
    for key, value in (extra or {}).items():
        env[key] = env[key] + ";" + value if key == "WINEDLLOVERRIDES" else value
    return env


def _wine(arch):
    return LOADERS[arch] if arch == "win64" else (shutil.which("wine") or "wine")


def _end_session(env, timeout):
    """Ends every process of the prefix's session and waits for its wineserver."""
    subprocess.run([WINESERVER, "-k"], env=env, stderr=subprocess.DEVNULL)
    subprocess.run([WINESERVER, "-w"], env=env, timeout=timeout)


def base_prefix(cache, target, log=print):
    """The headless base prefix of the target's kind in `cache`, made once, under a lock."""
    cache = os.path.abspath(cache)
    os.makedirs(cache, exist_ok=True)
    prefix = os.path.join(cache, "base-prefix-" + target.arch)
    stamp = os.path.join(prefix, "halunupd-base-ready")
    with open(prefix + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not os.path.exists(stamp):
            shutil.rmtree(prefix, ignore_errors=True)
            log("making the base Wine prefix in %s" % prefix)
            env = _env(prefix, target.arch)
            subprocess.run([_wine(target.arch), "wineboot", "-i"], env=env, check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
            # Headless: hidden windows still get messages. A second try for a
            # probe that a loaded host did not start.
            setting = [_wine(target.arch), os.path.join(target.fixtures, "probe.exe"), "set",
                       "HKCU\\Software\\Wine\\Drivers", "Graphics", "null"]
            if subprocess.run(setting, env=env, stdout=subprocess.DEVNULL, timeout=120).returncode:
                subprocess.run(setting, env=env, check=True, stdout=subprocess.DEVNULL, timeout=120)
            _end_session(env, 120)
            open(stamp, "w").close()
    return prefix


# Wine's own programs and libraries, nearly all of a prefix's 700 MB, are
# shared with the base (hard links): nothing writes into them, and put()
# replaces a file rather than writing through it.
_SHARED = ("system32", "syswow64", "winsxs")


def copy_prefix(base, path):
    shared = tuple(os.path.join(base, "drive_c", "windows", name) + os.sep for name in _SHARED)

    def copy(source, target):
        if source.startswith(shared):
            with contextlib.suppress(OSError):
                return os.link(source, target)
        shutil.copy2(source, target)

    shutil.copytree(base, path, symlinks=True, copy_function=copy)


def host_path(root, windows_path):
    """The Linux path of a C: path under `root`, matching entries in any letter case as Wine does."""
    drive, _, rest = windows_path.partition(":")
    if drive.upper() != "C":
        raise ValueError("only C: paths are inside the prefix: %r" % windows_path)
    path = os.path.join(root, "drive_c")
    for part in [p for p in rest.replace("/", "\\").split("\\") if p]:
        candidate = os.path.join(path, part)
        if not os.path.exists(candidate) and os.path.isdir(path):
            candidate = next((os.path.join(path, entry) for entry in os.listdir(path)
                              if entry.lower() == part.lower()), candidate)
        path = candidate
    return path


def wait_for(condition, timeout, interval=0.05):
    """Polls `condition` until it is true or `timeout` passes; its last result."""
    deadline = time.monotonic() + timeout
    while not (result := condition()) and time.monotonic() < deadline:
        time.sleep(interval)
    return result


def pair_files(installed=None, staged=None):
    """{key: fixture name or None} of the managed files of each pair given,
    installed or staged: (executable variant, library variant), None for a
    file that is absent; a pair not given (None or ()) names no file."""
    files = {}
    for pair, keys in ((installed, ("installed_exe", "installed_lib")), (staged, ("staged_exe", "staged_lib"))):
        for variant, key, name in zip(pair or (), keys, ("halunexe-%s.exe", "halundll-%s.dll")):
            files[key] = variant and name % variant
    return files


File = collections.namedtuple("File", "size crc version")


class Snapshot:
    """What the probe saw: files and native ({base name: File or None}; native:
    the 64-bit system32 under WOW64, every file None elsewhere), marker (None:
    no key; "no value"; the REG_SZ text; or (type, bytes)), pending (strings
    of PendingFileRenameOperations), wininit (bytes or None) and events ([(pid,
    text)] of the resident's log: start <command line>, directory <working
    directory>, ready, notice, notice ignored, notice hung, exit <reason>)."""

    def __init__(self, text):
        self.files, self.native, self.pending, self.events = {}, {}, [], []
        self.marker = self.wininit = None

        def unhex(field):
            return None if field == "-" else bytes.fromhex(field[1:])
        for line in text.splitlines():
            kind, *fields = line.split(" ")
            if kind in ("file", "native"):
                name, data = fields[0], fields[1:]
                getattr(self, kind if kind == "native" else "files")[name] = None if data == ["-"] else File(
                    int(data[0]), int(data[1], 16), None if data[2] == "-" else unhex(data[2]).decode("latin-1"))
            elif kind == "marker":
                if fields[0] == "novalue":
                    self.marker = "no value"
                elif fields[0] != "nokey":
                    data = unhex(fields[1])
                    self.marker = data.rstrip(b"\0").decode("latin-1") if fields[0] == "1" else (int(fields[0]), data)
            elif kind == "pending":
                self.pending.append(unhex(fields[0]).decode("latin-1"))
            elif kind == "wininit":
                self.wininit = unhex(fields[0])
            elif kind == "event":
                self.events.append((int(fields[0]), unhex(fields[1]).decode("latin-1")))

    def texts(self):
        return [text for _, text in self.events]

    def relaunches(self):
        return [text[6:] for text in self.texts()
                if text.startswith("start ") and text.endswith(facts.DOCUMENTED["relaunch_argument"])]


class Machine(contextlib.AbstractContextManager):
    """A fresh copy of the base prefix, its session started. `sys` is the system
    directory as the tool sees it, `real_sys` where its files are (SysWOW64 under WOW64)."""

    def __init__(self, target, cache, name, tmp=None, keep=False, log=print):
        self.target, self.keep, self.log, self.started = target, keep, log, []
        self.wow64 = target.family["64-bit"]
        self.sys = SYSTEM32
        self.real_sys = "C:\\windows\\syswow64" if self.wow64 else SYSTEM32
        base = base_prefix(cache, target, log)
        self.root = tempfile.mkdtemp(prefix=name + "-", dir=os.path.abspath(tmp or cache))
        self.path = os.path.join(self.root, "prefix")
        copy_prefix(base, self.path)
        self.tool = SETUP_DIR + "\\halunupd.exe"
        self.put(self.tool, target.exe)
        self._fixtures = {}  # (size, CRC-32): the fixture's name
        for name in sorted(os.listdir(target.fixtures)):
            data = pathlib.Path(self.fixture(name)).read_bytes()
            self._fixtures.setdefault((len(data), zlib.crc32(data)), name)
        subprocess.run([WINESERVER, "-p"], env=self.env(), timeout=120)
        self.set_version("halunupd.exe", target.family["wine_version"])

    def __exit__(self, *exc):
        self.close()

    # files, placed from this side
    def fixture(self, name):
        return os.path.join(self.target.fixtures, name)

    def put(self, windows_path, source=None, data=None):
        """Places a new copy of `source` (a fixture's name or a path) or of `data`."""
        path = host_path(self.path, windows_path)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        self.remove(windows_path)
        if source is not None:
            shutil.copyfile(source if os.sep in source else self.fixture(source), path)
        else:
            pathlib.Path(path).write_bytes(data)

    def read(self, windows_path):
        """A file's bytes, or None when it does not exist."""
        with contextlib.suppress(FileNotFoundError), open(host_path(self.path, windows_path), "rb") as f:
            return f.read()
        return None

    def remove(self, windows_path):
        with contextlib.suppress(FileNotFoundError):
            os.unlink(host_path(self.path, windows_path))

    def where(self, key):
        """The path of a managed file (installed_exe, ...) where it really is."""
        return self.real_sys + "\\" + facts.MANAGED[key]

    def place(self, installed=None, staged=None):
        """Puts the managed files of each pair given (see pair_files()), a
        file named None removed; returns pair_files(installed, staged)."""
        placed = pair_files(installed, staged)
        for key, name in placed.items():
            self.put(self.where(key), name) if name else self.remove(self.where(key))
        return placed

    def disk(self):
        """managed() read without the probe: while the machine is off, or while
        the tool runs, whose copies the probe's opening of a file could disturb."""
        files = {key: self.read(self.where(key)) for key in facts.MANAGED}
        return {key: data and self.identify(File(len(data), zlib.crc32(data), None)) for key, data in files.items()}

    def managed(self, snapshot):
        """{installed_exe, ...: the fixture each managed file is, or None}."""
        return {key: self.identify(snapshot.files[name]) for key, name in facts.MANAGED.items()}

    def identify(self, file):
        """The fixture a File is, by size and CRC-32; None for None."""
        return file and self._fixtures.get((file.size, file.crc), "%d unknown bytes" % file.size)

    # programs
    def env(self, extra=None):
        return _env(self.path, self.target.arch, extra)

    def _popen(self, args, env, **streams):
        return subprocess.Popen([_wine(self.target.arch)] + list(args), env=self.env(env), stdin=subprocess.DEVNULL,
                                stderr=subprocess.STDOUT, **streams)

    def run(self, args, timeout=60, env=None):
        """(exit status, seconds, output) of a program run to its end, its output
        through a file so that a detached child does not hold the wait up. At
        the timeout the session is ended and TimeoutExpired raised."""
        with tempfile.TemporaryFile() as out:
            started = time.monotonic()
            process = self._popen(args, env, stdout=out)
            try:
                process.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                self.power_off()
                process.wait()
                raise
            out.seek(0)
            return process.returncode, time.monotonic() - started, out.read().decode("utf-8", "replace")

    def start(self, args, env=None):
        """Starts a Windows program in the background, its output on a pipe."""
        process = self._popen(args, env, stdout=subprocess.PIPE, text=True, errors="replace")
        self.started.append(process)
        return process

    @staticmethod
    def first_line(process, timeout=30):
        """The first line a started program writes; None when none comes."""
        ready, _, _ = select.select([process.stdout], [], [], timeout)
        return process.stdout.readline().rstrip("\r\n") if ready else None

    def probe(self, *commands):
        """(status, Snapshot) of the probe run with `commands` (see probe.cpp)."""
        status, _, out = self.run([self.fixture("probe.exe")] + list(commands), timeout=120)
        if status not in (0, 3):
            raise RuntimeError("probe %r: exit %d: %s" % (commands, status, out))
        return status, Snapshot(out)

    def snapshot(self, await_text=None, timeout=30):
        """The machine as the tool sees it, once an event `await_text` came or `timeout` s passed."""
        waiting = ("await", await_text, str(int(timeout * 1000))) if await_text else ()
        return self.probe(*waiting, "snapshot")[1]

    def await_count(self, text, count, timeout=30):
        """Waits until the log holds `count` events `text`; NotReady after `timeout` s."""
        if not wait_for(lambda: self.snapshot().texts().count(text) >= count, timeout, 0.2):
            raise NotReady("%d events %r expected within %d s; log: %r"
                           % (count, text, timeout, self.snapshot().texts()))

    def set_marker(self, text=None):
        """Creates the marker key, with `text` as its value when given."""
        self.probe(*(("set", facts.MARKER_KEY, facts.MARKER_VALUE, text) if text is not None
                     else ("key", facts.MARKER_KEY)))

    def set_version(self, program, version):
        self.probe("set", "HKCU\\Software\\Wine\\AppDefaults\\" + program, "Version", version)

    def start_resident(self, env=None, timeout=30):
        """Starts the installed resident and waits until its window exists.
        A resident that never began (Wine did not start it) is started once
        more; raises NotReady, with its log, when it does not get ready."""
        for attempt in (1, 2):
            process = self.start([self.where("installed_exe")], env)
            status, seen = self.probe("await", "ready", str(timeout * 1000), "snapshot")
            if status == 0:
                return process
            state = "running" if process.poll() is None else "exit %d" % process.returncode
            if attempt == 2 or seen.events:
                raise NotReady("the resident did not create its window within %d s (%s); log: %r"
                               % (timeout, state, seen.texts()))
            self.log("the resident never began (%s); starting it once more" % state)
            process.kill()

    def hold(self, windows_path, milliseconds):
        """The holder, holding the file (no delete sharing) for `milliseconds`;
        it prints "released" when it lets go."""
        self.put(SETUP_DIR + "\\holder.exe", "holder.exe")
        process = self.start([SETUP_DIR + "\\holder.exe", windows_path, str(milliseconds)])
        line = self.first_line(process)
        if line != "held":
            raise NotReady("the holder could not hold %s within 30 s: %r" % (windows_path, line))
        return process

    def restart(self):
        """Every program ends, then Wine's start-up performs what was scheduled."""
        started = time.monotonic()
        self.power_off()
        self.run(["wineboot", "-r"], timeout=120)
        self.log("restart cycle done in %.1f s" % (time.monotonic() - started))

    def power_off(self):
        """Every program ends at once, as when the power goes. Whatever runs next
        (the probe too) performs what was scheduled: read disk() first."""
        _end_session(self.env(), 60)
        for process in self.started:
            with contextlib.suppress(Exception):
                process.wait(timeout=10)
            process.stdout.close()
        self.started = []

    def close(self):
        self.power_off()
        if not self.keep:
            shutil.rmtree(self.root, ignore_errors=True)
