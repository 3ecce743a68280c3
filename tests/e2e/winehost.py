"""Running Windows programs under Wine for the end-to-end checks.

A reusable harness (Python 3 standard library only):

- ``base_prefix(cache_dir)`` makes, once, a 32-bit headless Wine prefix and
  keeps it in ``cache_dir`` (a file lock makes concurrent callers wait for one
  maker);
- ``Prefix.fresh(base, name)`` copies it for one scenario: its own directory,
  so its own wineserver;
- a ``Prefix`` places and reads files (``put``, ``read``, ``exists``, with
  Windows paths such as ``C:\\windows\\system32\\x.dll``), sets registry values
  before Wine starts (``set_version``, ``add_key``), starts its session
  (``boot``), runs programs with a timeout (``run``, ``start``), reads the registry (``reg_value``, from the
  saved registry files), performs a restart (``restart``) and ends every
  process it started (``kill``, ``close``).

Which Wine runs the programs is decided once per process by trying
(``decide_arch``): where this host can execute the 32-bit Wine loader, a
32-bit prefix (WINEARCH=win32) runs the shipped i686 build, as 32-bit Windows
does; where it cannot (a kernel without 32-bit execution), a 64-bit prefix
(WINEARCH=win64, the 64-bit loader named in WINELOADER, since the ``wine``
wrapper prefers the 32-bit loader whenever it is installed) runs the x86_64
build of the same sources. HALUNUPD_WINE_ARCH=win32 or win64 forces either.
``pick_build`` names the build that goes with the choice. Apart from that
choice, the "64-bit Windows" family runs the shipped i686 build in a 64-bit
prefix, as 64-bit Windows runs it under WOW64; ``wow64_unavailable`` says
whether this host can (it needs 32-bit programs to execute), and prefixes
of a kind other than the chosen one are asked for with ``arch``.

Wine facts it relies on: the registry files are plain text loaded at start
and saved when the wineserver ends; each new session (first program after
the wineserver starts) performs the delayed moves and wininit.ini renames, as
a restart would; an exit status of -1 shows as 255. A 64-bit program in a
64-bit prefix sees C:\\windows\\system32 and the registry's native view, as
a 32-bit program does in a 32-bit prefix, so the scenarios are the same.
"""

import contextlib
import fcntl
import os
import re
import select
import shutil
import subprocess
import sys
import tempfile
import time

WINE = shutil.which("wine") or "wine"
WINE64 = "/usr/lib/wine/wine64"
WINE32_LOADER = "/usr/lib/wine/wine"
WINESERVER = shutil.which("wineserver") or "wineserver"
ARCH_VARIABLE = "HALUNUPD_WINE_ARCH"
ARCHES = ("win32", "win64")
SYSTEM_DIR = "C:\\windows\\system32"
WINDOWS_DIR = "C:\\windows"

_BASE_STAMP = "halunupd-base-ready"


class NotReady(Exception):
    """A program started in the background did not get ready."""


class WineUnavailable(Exception):
    """This host cannot run the Wine the tests need; the text says why."""


def _loader(arch):
    return WINE32_LOADER if arch == "win32" else WINE64


def _try_loader(arch):
    """None when the loader of `arch` runs here, else why it does not."""
    loader = _loader(arch)
    if not os.path.exists(loader):
        return "%s is not installed" % loader
    try:
        result = subprocess.run([loader, "--version"], stdout=subprocess.DEVNULL,
                                stderr=subprocess.PIPE, timeout=60)
    except OSError as error:  # e.g. "Exec format error" without 32-bit execution
        return "%s cannot be executed: %s" % (loader, error.strerror)
    except subprocess.TimeoutExpired:
        return "%s --version did not end within 60 s" % loader
    if result.returncode != 0:
        return "%s --version failed with status %d" % (loader, result.returncode)
    return None


_decision = None


def decide_arch():
    """(arch, reason): 'win32' when this host runs 32-bit Wine, else 'win64'
    when it runs 64-bit Wine, decided by running each loader once; the
    environment variable HALUNUPD_WINE_ARCH forces either. Raises
    WineUnavailable, with one line saying why, when the chosen or every Wine
    cannot run."""
    global _decision
    if _decision is None:
        forced = os.environ.get(ARCH_VARIABLE, "").strip().lower()
        if forced:
            if forced not in ARCHES:
                _decision = WineUnavailable("%s=%r: expected one of %s"
                                            % (ARCH_VARIABLE, forced, ", ".join(ARCHES)))
            else:
                why = _try_loader(forced)
                _decision = (WineUnavailable("%s=%s, but %s" % (ARCH_VARIABLE, forced, why))
                             if why else (forced, "forced by %s" % ARCH_VARIABLE))
        else:
            why32 = _try_loader("win32")
            why64 = _try_loader("win64") if why32 else None
            if why32 is None:
                _decision = ("win32", "this host runs 32-bit Wine")
            elif why64 is None:
                _decision = ("win64", "this host cannot run 32-bit Wine (%s)" % why32)
            else:
                _decision = WineUnavailable("this host runs neither 32-bit Wine (%s) nor 64-bit"
                                            " Wine (%s)" % (why32, why64))
    if isinstance(_decision, WineUnavailable):
        raise _decision
    return _decision


BUILD_NAMES = {"win32": "the shipped i686 halunupd.exe in a 32-bit prefix",
               "win64": "the x86_64 build of halunupd.exe in a 64-bit prefix"}


def fixtures_of(exe):
    """The folder of the stand-in fixtures built with `exe`: beside it."""
    return os.path.join(os.path.dirname(os.path.abspath(exe)), "fixtures")


def pick_build(exe32, exe64):
    """(arch, exe, fixtures, description) for this host: the i686 build
    `exe32` under 32-bit Wine or the x86_64 build `exe64` under 64-bit Wine,
    as decide_arch() chooses, with its fixtures' folder. Raises
    WineUnavailable when the build for the choice was not given or not
    built."""
    arch, reason = decide_arch()
    exe = exe32 if arch == "win32" else exe64
    if not exe or not os.path.exists(exe):
        raise WineUnavailable("%s needs %s, which is missing (%r)"
                              % (reason, BUILD_NAMES[arch], exe))
    return (arch, os.path.abspath(exe), fixtures_of(exe),
            "%s: %s (%s)" % (BUILD_NAMES[arch], exe, reason))


def _arch():
    return decide_arch()[0]


def wow64_unavailable():
    """None when this host can run 32-bit programs in a 64-bit prefix, as
    64-bit Windows runs them under WOW64 (the 64-bit loader hands a 32-bit
    program to the 32-bit one, so both must run here); else why it cannot.
    Independent of the choice decide_arch() makes for the other tests."""
    why32 = _try_loader("win32")
    if why32:
        return "this host cannot execute 32-bit programs (%s)" % why32
    why64 = _try_loader("win64")
    if why64:
        return "this host cannot run 64-bit Wine (%s)" % why64
    return None


def wine_available():
    try:
        decide_arch()
    except WineUnavailable:
        return False
    return shutil.which("wineserver") is not None


def _env(prefix, extra=None, arch=None):
    env = dict(os.environ)
    arch = arch or _arch()
    env["WINEPREFIX"] = prefix
    env["WINEARCH"] = arch
    if arch == "win64":
        env["WINELOADER"] = WINE64
    else:
        env.pop("WINELOADER", None)
    env.setdefault("WINEDEBUG", "-all")
    # No desktop, no prompts for Mono or Gecko.
    env["WINEDLLOVERRIDES"] = "mscoree,mshtml="
    env.pop("DISPLAY", None)
    if extra:
        for key, value in extra.items():
            if key == "WINEDLLOVERRIDES" and value:
                env[key] = env[key] + ";" + value
            elif value is None:
                env.pop(key, None)
            else:
                env[key] = value
    return env


def _wine(arch=None):
    """The program that runs Windows programs in a prefix of `arch` (by
    default the kind decide_arch() chose). In a 64-bit prefix it runs 32-bit
    programs too, through the 32-bit loader."""
    return WINE if (arch or _arch()) == "win32" else WINE64


def base_prefix(cache_dir, log=print, arch=None):
    """The cached base prefix under cache_dir, made on first use; one per
    prefix kind (32-bit or 64-bit; by default the kind decide_arch() chose)."""
    arch = arch or _arch()
    cache_dir = os.path.abspath(cache_dir)  # Wine needs an absolute prefix path
    os.makedirs(cache_dir, exist_ok=True)
    prefix = os.path.join(cache_dir, "base-prefix-" + arch)
    with open(os.path.join(cache_dir, "base-prefix-%s.lock" % arch), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if os.path.exists(os.path.join(prefix, _BASE_STAMP)):
            return prefix
        shutil.rmtree(prefix, ignore_errors=True)
        log("making the base Wine prefix in %s" % prefix)
        started = time.monotonic()
        env = _env(prefix, arch=arch)
        subprocess.run([_wine(arch), "wineboot", "-i"], env=env, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
        subprocess.run([WINESERVER, "-k"], env=env, stderr=subprocess.DEVNULL)
        subprocess.run([WINESERVER, "-w"], env=env, timeout=120)
        # Headless: hidden windows, FindWindowA and SendMessageA still work.
        # Written into the saved registry while no wineserver runs, rather
        # than by a second Wine program, which a loaded host has seen fail.
        Prefix(prefix).add_key("HKCU\\Software\\Wine\\Drivers", {"Graphics": "null"})
        with open(os.path.join(prefix, _BASE_STAMP), "w") as stamp:
            stamp.write("made in %.1f s\n" % (time.monotonic() - started))
        return prefix


# --- registry files ---------------------------------------------------------

def _reg_escape(text):
    return text.replace("\\", "\\\\").replace('"', '\\"')


def _reg_unescape(text):
    out = []
    i = 0
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            nxt = text[i + 1]
            if nxt == "x":
                m = re.match(r"[0-9a-fA-F]{1,4}", text[i + 2:])
                if m:
                    out.append(chr(int(m.group(0), 16)))
                    i += 2 + len(m.group(0))
                    continue
            out.append({"n": "\n", "r": "\r", "t": "\t", "0": "\0"}.get(nxt, nxt))
            i += 2
            continue
        out.append(c)
        i += 1
    return "".join(out)


def parse_reg_file(path):
    """{lower-case key: {lower-case value name: (type, value)}} of a Wine
    registry file. Types: 'sz', 'expand_sz', 'multi_sz' (list of texts),
    'dword' (int), 'hex<n>' (bytes)."""
    keys = {}
    current = None
    with open(path, encoding="utf-8", errors="replace") as f:
        text = f.read()
    text = re.sub(r"\\\r?\n\s*", "", text)  # joined continuation lines
    for line in text.splitlines():
        if line.startswith("["):
            end = line.rfind("]")
            current = keys.setdefault(_reg_unescape(line[1:end]).lower(), {})
            continue
        if current is None or not line or line[0] not in '"@':
            continue
        if line.startswith("@="):
            name, rest = "", line[2:]
        else:
            m = re.match(r'"((?:[^"\\]|\\.)*)"=(.*)$', line)
            if not m:
                continue
            name, rest = _reg_unescape(m.group(1)), m.group(2)
        current[name.lower()] = _parse_reg_data(rest)
    return keys


def _parse_reg_data(rest):
    if rest.startswith('"'):
        return ("sz", _reg_unescape(rest[1:rest.rfind('"')]))
    m = re.match(r'str\(([0-9a-fA-F]+)\):"', rest)
    if m:
        text = _reg_unescape(rest[m.end():rest.rfind('"')])
        kind = int(m.group(1), 16)
        if kind == 7:
            texts = text.split("\0")
            while texts and texts[-1] == "":
                texts.pop()
            return ("multi_sz", texts)
        return ("expand_sz" if kind == 2 else "sz", text)
    if rest.startswith("dword:"):
        return ("dword", int(rest[6:], 16))
    m = re.match(r"hex(?:\(([0-9a-fA-F]+)\))?:(.*)$", rest)
    if m:
        kind = int(m.group(1), 16) if m.group(1) else 3
        data = bytes(int(b, 16) for b in m.group(2).split(",") if b.strip())
        if kind == 7:
            texts = data.decode("utf-16-le", errors="replace").split("\0")
            while texts and texts[-1] == "":
                texts.pop()
            return ("multi_sz", texts)
        if kind in (1, 2):
            return ("sz" if kind == 1 else "expand_sz",
                    data.decode("utf-16-le", errors="replace").rstrip("\0"))
        return ("hex%d" % kind, data)
    return ("unknown", rest)


_HIVES = {"HKLM": "system.reg", "HKEY_LOCAL_MACHINE": "system.reg",
          "HKCU": "user.reg", "HKEY_CURRENT_USER": "user.reg"}


def _split_key(key):
    hive, _, path = key.partition("\\")
    if hive.upper() not in _HIVES:
        raise ValueError("unsupported hive in %r" % key)
    return _HIVES[hive.upper()], path


# --- one prefix ---------------------------------------------------------------

class Prefix:
    """One Wine prefix of its own, with its own wineserver."""

    def __init__(self, path, arch=None):
        self.path = path
        self.arch = arch  # None: the kind decide_arch() chose
        self.started = []  # Popen objects of programs started in the background

    @classmethod
    def fresh(cls, base, name, tmp_root=None, arch=None):
        """A new copy of the base prefix, in a new directory named after `name`;
        `arch` is the kind of the base when it is not the one decide_arch()
        chose."""
        parent = os.path.abspath(tempfile.mkdtemp(prefix=name + "-", dir=tmp_root))
        path = os.path.join(parent, "prefix")
        _copy_prefix(base, path)
        return cls(path, arch)

    # files
    def host_path(self, windows_path):
        """The Linux path of a C: path inside the prefix."""
        drive, _, rest = windows_path.partition(":")
        if drive.upper() != "C":
            raise ValueError("only C: paths are inside the prefix: %r" % windows_path)
        parts = [p for p in rest.replace("/", "\\").split("\\") if p]
        return _case_insensitive_join(os.path.join(self.path, "drive_c"), parts)

    def put(self, windows_path, source=None, data=None):
        """Places a copy of the host file `source` (or the bytes `data`), a
        new file even where one of the base's shared files was."""
        target = self.host_path(windows_path)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with contextlib.suppress(FileNotFoundError):
            os.unlink(target)
        if source is not None:
            shutil.copyfile(source, target)
        else:
            with open(target, "wb") as f:
                f.write(data)

    def read(self, windows_path):
        """The file's bytes, or None when it does not exist."""
        try:
            with open(self.host_path(windows_path), "rb") as f:
                return f.read()
        except FileNotFoundError:
            return None

    def exists(self, windows_path):
        return os.path.exists(self.host_path(windows_path))

    def remove(self, windows_path):
        with contextlib.suppress(FileNotFoundError):
            os.remove(self.host_path(windows_path))

    # registry, written into the files while no wineserver runs
    def add_key(self, key, values=None):
        """Creates `key` (e.g. 'HKLM\\Software\\X') with REG_SZ or DWORD
        `values`. Only while the prefix's wineserver is not running."""
        filename, path = _split_key(key)
        lines = ["", "[%s] %d" % (_reg_escape(path), int(time.time()))]
        for name, value in (values or {}).items():
            if isinstance(value, int):
                lines.append('"%s"=dword:%08x' % (_reg_escape(name), value))
            else:
                lines.append('"%s"="%s"' % (_reg_escape(name), _reg_escape(value)))
        with open(os.path.join(self.path, filename), "a", encoding="utf-8") as f:
            f.write("\n".join(lines) + "\n")

    def set_version(self, program, version):
        """Makes Wine report `version` (win95, win98, nt40, winxp, win10, ...)
        to `program` (an executable's base name)."""
        self.add_key("HKCU\\Software\\Wine\\AppDefaults\\" + program, {"Version": version})

    def registry(self, hive="HKLM"):
        """The saved registry of a hive. Stops the wineserver first so that
        the files are up to date."""
        self.kill()
        filename, _ = _split_key(hive + "\\x")
        return parse_reg_file(os.path.join(self.path, filename))

    def reg_value(self, key, name):
        """(type, value) of a registry value, or None when key or value is
        missing. Stops the wineserver first."""
        hive, _, path = key.partition("\\")
        values = self.registry(hive).get(path.lower())
        if values is None:
            return None
        return values.get(name.lower())

    def has_key(self, key):
        hive, _, path = key.partition("\\")
        return path.lower() in self.registry(hive)

    # programs
    def env(self, extra=None):
        return _env(self.path, extra, self.arch)

    def run(self, args, timeout=60, env=None, cwd=None):
        """Runs `wine args...` to its end; a CompletedProcess with text
        output. Output goes through files, not pipes, so that a detached
        process the program starts (which inherits them) does not hold the
        wait up. A program still running at the timeout is ended with the
        prefix's wineserver and the TimeoutExpired raised."""
        command = [_wine(self.arch)] + list(args)
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            process = subprocess.Popen(command, env=self.env(env), cwd=cwd,
                                       stdout=out, stderr=err, stdin=subprocess.DEVNULL)
            try:
                process.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                self.kill()
                process.wait()
                raise
            out.seek(0)
            err.seek(0)
            return subprocess.CompletedProcess(
                command, process.returncode,
                out.read().decode("utf-8", "replace"), err.read().decode("utf-8", "replace"))

    def start(self, args, env=None):
        """Starts `wine args...` in the background, its output on a pipe and
        its error output in a file beside the prefix (see describe())."""
        errors = os.path.join(os.path.dirname(self.path), "started-%d.err" % len(self.started))
        with open(errors, "wb") as err:
            process = subprocess.Popen([_wine(self.arch)] + list(args), env=self.env(env),
                                       stdout=subprocess.PIPE, stderr=err, stdin=subprocess.DEVNULL,
                                       text=True, errors="replace")
        process.errors_path = errors
        self.started.append(process)
        return process

    def start_until(self, args, ready, begun, timeout=30, env=None, say=print):
        """Starts `wine args...` in the background and waits up to `timeout`
        seconds for ready(). A program that has not even begun (begun() is
        false: it never reached its own first line) was not started by Wine,
        which is no fault of what it serves to test; it is started once
        more, and say() tells so. Returns the process; raises NotReady,
        saying what became of the program, when it does not get ready."""
        for attempt in (1, 2):
            process = self.start(args, env=env)
            if wait_for(ready, timeout):
                return process
            what = "not ready within %d s (%s)" % (timeout, self.describe(process))
            if attempt == 2 or begun():
                raise NotReady(what)
            say("%s: %s; starting it once more" % (args[0], what))
            process.kill()

    @staticmethod
    def describe(process):
        """What became of a program start() started: running or its exit
        status, and the end of its error output."""
        code = process.poll()
        state = "still running" if code is None else "ended with exit status %d" % code
        with open(process.errors_path, "rb") as f:
            tail = f.read()[-600:].decode("utf-8", "replace").strip()
        return "%s; error output: %r" % (state, tail)

    @staticmethod
    def first_line(process, timeout):
        """The first line a program start() started writes, without its end;
        None when none comes within `timeout` seconds."""
        ready, _, _ = select.select([process.stdout], [], [], timeout)
        return process.stdout.readline().rstrip("\r\n") if ready else None

    def boot(self, timeout=120):
        """Starts the prefix's session and keeps its wineserver running until
        kill(). Wine performs what is scheduled for the restart (delayed moves,
        wininit.ini) whenever a session starts, so files meant to be seen by
        the programs of this session (such as an existing wininit.ini) are to
        be placed after this."""
        subprocess.run([WINESERVER, "-p"], env=self.env(), stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=timeout)
        self.run(["cmd", "/c", "exit"], timeout=timeout)

    def restart(self, timeout=120):
        """The restart cycle: every program ends, then Wine's start-up runs
        the moves and renames scheduled for the restart."""
        self.kill()
        result = self.run(["wineboot", "-r"], timeout=timeout)
        self.kill()
        return result

    def kill(self):
        """Ends every process of this prefix, waits for its wineserver and
        closes the output pipes of the programs start() started."""
        env = self.env()
        subprocess.run([WINESERVER, "-k"], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        subprocess.run([WINESERVER, "-w"], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)
        for process in self.started:
            with contextlib.suppress(Exception):
                process.wait(timeout=10)
            process.stdout.close()
        self.started = []

    def close(self, keep=False):
        """Ends every process and, unless `keep`, removes the prefix."""
        self.kill()
        if not keep:
            shutil.rmtree(os.path.dirname(self.path), ignore_errors=True)


# Wine's own programs and libraries, nearly all of a prefix's 700 MB: a
# scenario's prefix shares these files with the base (hard links) instead of
# copying them, so that making a prefix writes a few megabytes, not a flood
# of dirty pages that stalls the programs of the scenarios running beside it
# on a loaded host. Nothing writes into Wine's own files: the files a
# scenario changes are the ones it placed there itself, and put() replaces a
# file rather than writing through it. Everything else (registry, ini files,
# the user's folders) is a copy of its own, and so is everything where the
# base lies on another file system.
_SHARED_DIRS = (("drive_c", "windows", "system32"), ("drive_c", "windows", "syswow64"),
                ("drive_c", "windows", "winsxs"))


def _copy_prefix(base, path):
    shared = tuple(os.path.join(base, *parts) + os.sep for parts in _SHARED_DIRS)

    def copy(source, target):
        if source.startswith(shared):
            try:
                os.link(source, target)
                return
            except OSError:
                pass
        shutil.copy2(source, target)

    shutil.copytree(base, path, symlinks=True, copy_function=copy)


def _case_insensitive_join(root, parts):
    """Joins `parts` under `root`, reusing existing entries that differ only
    in letter case, as Wine itself does."""
    path = root
    for part in parts:
        candidate = os.path.join(path, part)
        if not os.path.exists(candidate) and os.path.isdir(path):
            lower = part.lower()
            for entry in os.listdir(path):
                if entry.lower() == lower:
                    candidate = os.path.join(path, entry)
                    break
        path = candidate
    return path


def wait_for(condition, timeout, interval=0.05):
    """Polls `condition` until it returns a true value or `timeout` passes;
    returns its last result."""
    deadline = time.monotonic() + timeout
    while True:
        result = condition()
        if result or time.monotonic() >= deadline:
            return result
        time.sleep(interval)


def main(argv):
    """winehost.py --decide: prints the Wine this host runs the tests under
    (win32 or win64) and why; exit status 1, with the reason, when none."""
    if argv[1:] != ["--decide"]:
        print("usage: winehost.py --decide", file=sys.stderr)
        return 2
    try:
        arch, reason = decide_arch()
    except WineUnavailable as error:
        print("none: %s" % error)
        return 1
    print("%s: %s" % (arch, reason))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
