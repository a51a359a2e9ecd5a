"""End-to-end harness: the real MarlinCore.exe under Wine, driven over real sockets.

Every suite under tests/e2e uses this module (through the fixtures in
conftest.py). It never touches ~/.wine: each prefix is a throw-away copy of
the template that tools/wine-session prepares ($MARLIN_WINE_TEMPLATE).

Environment (set by CTest and tools/wine-session):
    MARLIN_BIN_DIR        build/bin with MarlinCore.exe, MarlinWinTab.dll and the fixtures
    MARLIN_WINE_TEMPLATE  a ready prefix, copied with `cp -a` (about 2 s)
    MARLIN_WINEARCH       win32 (default) or win64: the template's architecture
    MARLIN_WINE           the Wine loader to start programs with (default "wine"; the
                          64-bit loader where the host runs no 32-bit programs)
    MARLIN_HOST_RUNS_32BIT  0 where the host runs no 32-bit programs (default 1)
    DISPLAY               an X display (ensure_display() starts Xvfb when it is unset)

Widths
------
wine_loader() -> the Wine loader command; every Windows program starts through it
host_runs_32bit() -> False where no 32-bit program can run (nor be tested) here
service_bits() -> 32 or 64: the width of $MARLIN_BIN_DIR/MarlinCore.exe (its PE header)
program_files() -> the program folder the service installs AIR applications under
setup_program_files() -> the program folder the product's setup installs into
service_system_dir(prefix) -> Linux path of the service's system folder (where a
    tablet driver puts the wintab32.dll of the service's width)

API
---
WinePrefix(root=None, air_installer=DEFAULT_AIR_INSTALLER, log=True)
    A fresh prefix copied from the template, with the Adobe AIR installer
    registered (HKCR\\AIR.InstallerPackage\\shell\\open\\command, the service
    refuses to serve without it; air_installer=None leaves it out) and the
    session log switched on (an empty %USERPROFILE%\\marlinLog.txt).
    .path, .drive_c, .profile_dir (Linux paths); .env (Wine environment)
    .key_file_path, .log_path (Linux paths of the key file and the log)
    .windows_path(linux_path) -> "Z:\\..." ; .linux_path("C:\\...") -> Linux path
    .run(args, timeout=60) -> Completed(returncode, stdout, stderr): runs a
        Windows program to its end (args[0] may be a Linux path or a name
        Wine finds, e.g. "reg"); output goes through files, never pipes
        (loader=WINE64_LOADER starts the 64-bit program of a name in a 64-bit
        prefix; the default loader finds the 32-bit one where the host runs them)
    .start(args, stdout_path, stderr_path) -> subprocess.Popen under Wine
    .kill_program(image_name) -> Completed of taskkill /f /im, of the service's width
    .reg_add(key, value_name, data, kind="REG_SZ"); value_name None = default value
    .reg_query(key, value_name=None) -> str or None
    .reg(verb, key, *args) -> Completed of reg.exe (e.g. .reg("delete", key, "/f"))
        all through reg.exe as the service sees the registry: in a 64-bit prefix
        the 32-bit view, as the shipped 32-bit product sees it under WoW64 (the
        32-bit reg.exe for a 32-bit service, /reg:32 for a 64-bit one; the
        classes, HKCR and Software\\Classes, which both views share, through
        /reg:64 for a 64-bit service); with
        native=True the 64-bit view of a 64-bit prefix instead (/reg:64)
    .service_reg_query(key, value_name=None) -> str or None: the value as the
        service of this build reads it, through its own registry code
        (tests/fixtures/regview)
    .register_air_installer(command_path): registers it and proves, through
        .service_reg_query, that the service will find it; .unregister_air_installer()
    .install_binaries(folder="C:\\MarlinCore") -> Windows path of the copied MarlinCore.exe
        (MarlinCore.exe and MarlinWinTab.dll copied there, as in an installation)
    .read_log() -> str (whole log, UTF-8, CR LF folded to LF)
    .send_message(window_class, message, wparam=0, lparam=0, post=False) -> int
        (tests/fixtures/winmsg: 0 delivered, 2 no such window, 3 not delivered)
    .kill() -> `wineserver -k` for this prefix only; .close() kills and removes it
    Usable as a context manager.

Service(prefix, exe=None, args=())
    .start(wait=True, timeout=30) starts MarlinCore.exe (the installed copy by
        default) and, with wait, waits for a fresh key file and returns it
    .key -> KeyFile(command_port, pressure_port, apps_port, auth_key, text)
    .wait_key_file(timeout) ; .alive() ; .wait_exit(timeout) -> exit code or None
    .log() -> the log lines written since this start (str; kept across the
        service emptying its log past the size cap)
    .wait_log(text, timeout, count=1) -> True when text appears count times in .log()
    .command(authorize=True) -> Client on the command port (authorized: the
        "authOk" reply has been read)
    .pressure() / .apps() -> Client on the pressure / apps port
    .rss_kib() -> resident memory of the service process (from /proc)
    .open_fds() -> number of open descriptors of the service process (from /proc;
        Wine holds a host descriptor for each open socket and file)
    .stop(timeout=15) -> exit code: WM_CLOSE to the "MarlinSocksHookQ" window,
        then waits; `wineserver -k` for the prefix only as the last resort
        (returns None then)

Client(port, timeout=10)  a loopback TCP client speaking the '|'-framed protocol
    (the client library's Connection, clients/python/marlin_client, with the
    reading rules below)
    .send(text) sends text UTF-8 encoded plus '|'; .send_raw(bytes)
    .read_frame(timeout=None) -> next '|'-framed reply (Latin-1 decoded);
        raises ConnectionClosed at end of stream, TimeoutError when nothing came
        (the library's NoReply)
    .request(text, timeout=None) -> send and read the reply; unsolicited
        "CurrentAttachedDevices=" reports are skipped and kept in .device_reports
    .authorize(key) -> the reply to "auth <key>" ("authOk" when accepted)
    .read_event(timeout=None) -> ("frame", text) or ("token", text) on the
        pressure port, where pen values are space-terminated tokens
    .wait_closed(timeout) -> True when the service closed the connection
    .close()

Every wait is bounded; nothing here blocks without a timeout.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
from collections import namedtuple

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                                "clients", "python"))
import marlin_client  # noqa: E402
from marlin_client import ConnectionClosed  # noqa: E402,F401  (the suites catch it from here)

DEFAULT_AIR_INSTALLER = "C:\\Program Files\\Common Files\\Adobe AIR\\Versions\\1.0\\Adobe AIR Application Installer.exe"
AIR_COMMAND_KEY = "HKEY_CLASSES_ROOT\\AIR.InstallerPackage\\shell\\open\\command"
SOCKETS_WINDOW_CLASS = "MarlinSocksHookQ"
TABLET_WINDOW_CLASS = "MarlinWTHookQ"
WM_CLOSE = 0x10

KeyFile = marlin_client.KeyFile
Completed = namedtuple("Completed", "returncode stdout stderr")


def bin_dir():
    path = os.environ.get("MARLIN_BIN_DIR")
    if not path:
        root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
        path = os.path.join(os.environ.get("MARLIN_BUILD_DIR", os.path.join(root, "build")), "bin")
    return path


def wine_arch():
    return os.environ.get("MARLIN_WINEARCH", "win32")


def wine_loader():
    return os.environ.get("MARLIN_WINE", "wine")


WINE64_LOADER = "/usr/lib/wine/wine64"  # starts a 64-bit prefix's 64-bit programs

_PER_VIEW_CLASSES = {"clsid", "interface", "directshow", "media type", "mediafoundation"}


def is_shared_classes_key(key):
    """True for a key of the classes that 64-bit Windows shares between both
    registry views (HKCR\\..., a root's Software\\Classes\\...), COM's per-view
    keys apart; the service's own rule is RegistryManager::ViewOf."""
    parts = key.rstrip("\\").split("\\")
    if parts[0].upper() in ("HKEY_CLASSES_ROOT", "HKCR"):
        rest = parts[1:]
    elif len(parts) >= 3 and [p.lower() for p in parts[1:3]] == ["software", "classes"]:
        rest = parts[3:]
    else:
        return False
    return not rest or rest[0].lower() not in _PER_VIEW_CLASSES


def host_runs_32bit():
    return os.environ.get("MARLIN_HOST_RUNS_32BIT", "1") != "0"


_service_bits = None


def pe_bits(path):
    """32 or 64 from a Windows program's PE header (the optional header's magic)."""
    with open(path, "rb") as f:
        header = f.read(4096)
    pe = int.from_bytes(header[0x3c:0x40], "little")
    if header[:2] != b"MZ" or header[pe:pe + 4] != b"PE\0\0":
        raise RuntimeError("%s is not a Windows program" % path)
    magic = int.from_bytes(header[pe + 24:pe + 26], "little")
    return {0x10b: 32, 0x20b: 64}[magic]


def service_bits():
    """The width of the MarlinCore.exe under test."""
    global _service_bits
    if _service_bits is None:
        _service_bits = pe_bits(os.path.join(bin_dir(), "MarlinCore.exe"))
    return _service_bits


def program_files():
    """The program folder of a 32-bit program, which the service uses at either
    width: %ProgramFiles%, moved to "Program Files (x86)" in a 64-bit prefix."""
    return "C:\\Program Files" if wine_arch() == "win32" else "C:\\Program Files (x86)"


def setup_program_files():
    """The program folder the product's setup installs into: the 32-bit one at either width.
    A 64-bit prefix made where no 32-bit program runs has no 32-bit half, and there the
    64-bit setup's 32-bit program folder is "Program Files" itself."""
    if wine_arch() == "win64" and not host_runs_32bit():
        return "C:\\Program Files"
    return program_files()


def service_system_dir(prefix):
    """The system folder of a program of the service's width: syswow64 for a
    32-bit service in a 64-bit prefix, system32 otherwise."""
    windows = os.path.join(prefix.drive_c, "windows")
    if service_bits() == 32 and wine_arch() == "win64":
        return os.path.join(windows, "syswow64")
    return os.path.join(windows, "system32")


def template_prefix():
    path = os.environ.get("MARLIN_WINE_TEMPLATE")
    if not path:
        root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
        cache = os.environ.get("MARLIN_WINE_CACHE", os.path.join(root, "build", "wine-cache"))
        path = os.path.join(cache, "template-" + wine_arch())
    if not os.path.isfile(os.path.join(path, "system.reg")):
        raise RuntimeError("no Wine template prefix at %s; run through './marlin test' or tools/wine-session" % path)
    return path


_xvfb = None


def ensure_display():
    """Starts an Xvfb of our own when DISPLAY is unset (Wine needs a display for top-level windows)."""
    global _xvfb
    if os.environ.get("DISPLAY"):
        return os.environ["DISPLAY"]
    for n in range(141, 200):
        if os.path.exists("/tmp/.X11-unix/X%d" % n) or os.path.exists("/tmp/.X%d-lock" % n):
            continue
        proc = subprocess.Popen(["Xvfb", ":%d" % n, "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline and proc.poll() is None:
            if os.path.exists("/tmp/.X11-unix/X%d" % n):
                _xvfb = proc
                os.environ["DISPLAY"] = ":%d" % n
                return os.environ["DISPLAY"]
            time.sleep(0.1)
        proc.kill()
        proc.wait(5)
    raise RuntimeError("could not start Xvfb")


def stop_display():
    global _xvfb
    if _xvfb is not None:
        _xvfb.terminate()
        try:
            _xvfb.wait(5)
        except subprocess.TimeoutExpired:
            _xvfb.kill()
        _xvfb = None
        os.environ.pop("DISPLAY", None)


def _wait_until(predicate, timeout, interval=0.05):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            return value
        time.sleep(interval)


class WinePrefix:
    def __init__(self, root=None, air_installer=DEFAULT_AIR_INSTALLER, log=True):
        self._tmp = tempfile.mkdtemp(prefix="marlin-e2e-", dir=root)
        self.path = os.path.join(self._tmp, "prefix")
        subprocess.run(["cp", "-a", template_prefix(), self.path], check=True, timeout=120)
        self.drive_c = os.path.join(self.path, "drive_c")
        users = [u for u in os.listdir(os.path.join(self.drive_c, "users")) if u != "Public"]
        if len(users) != 1:
            raise RuntimeError("cannot tell the user's profile in %s" % self.path)
        self.profile_dir = os.path.join(self.drive_c, "users", users[0])
        self.key_file_path = os.path.join(self.profile_dir, "AppData", "Roaming", "Orvex", "marlinAuth.key")
        self.log_path = os.path.join(self.profile_dir, "marlinLog.txt")
        self.env = dict(os.environ)
        self.env.update({
            "WINEPREFIX": self.path,
            "WINEARCH": wine_arch(),
            "WINEDEBUG": "-all",
            # winemenubuilder would copy Start-menu entries into the host's menus.
            "WINEDLLOVERRIDES": "mscoree,mshtml=;winemenubuilder.exe=d",
            "DISPLAY": ensure_display(),
        })
        # In a 64-bit prefix "reg" is the 64-bit program, which sees the native
        # view; the service sees the 32-bit one at either width.
        self._reg_program, self._reg_view = "reg", []
        if wine_arch() == "win64":
            if service_bits() == 32:
                self._reg_program = "C:\\windows\\syswow64\\reg.exe"
            else:
                self._reg_view = ["/reg:32"]
        self._counter = 0
        if log:
            open(self.log_path, "wb").close()
        if air_installer:
            self.register_air_installer(air_installer)

    # -- paths
    @staticmethod
    def windows_path(linux_path):
        return "Z:" + os.path.abspath(linux_path).replace("/", "\\")

    def linux_path(self, windows_path):
        drive, rest = windows_path[0].lower(), windows_path[2:].replace("\\", "/").lstrip("/")
        if drive == "z":
            return "/" + rest
        return os.path.join(self.path, "drive_%s" % drive, rest)

    def _output_files(self, tag):
        self._counter += 1
        base = os.path.join(self._tmp, "%s-%d" % (tag, self._counter))
        return base + ".out", base + ".err"

    # -- programs
    def start(self, args, stdout_path, stderr_path, loader=None):
        with open(stdout_path, "wb") as out, open(stderr_path, "wb") as err:
            return subprocess.Popen([loader or wine_loader()] + list(args), env=self.env, stdin=subprocess.DEVNULL,
                                    stdout=out, stderr=err, cwd=self._tmp)

    def run(self, args, timeout=60, loader=None):
        out_path, err_path = self._output_files(os.path.basename(str(args[0])).split(".")[0] or "run")
        proc = self.start(args, out_path, err_path, loader)
        try:
            code = proc.wait(timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(10)
            raise
        with open(out_path, "rb") as f:
            out = f.read().decode("utf-8", "replace")
        with open(err_path, "rb") as f:
            err = f.read().decode("utf-8", "replace")
        return Completed(code, out, err)

    def kill_program(self, image_name):
        # Wine's taskkill finds programs of its own width only. Where the host
        # runs 32-bit programs, the default loader starts the 32-bit taskkill
        # even in a 64-bit prefix; the test programs are as wide as the service.
        loader = WINE64_LOADER if wine_arch() == "win64" and service_bits() == 64 else None
        return self.run(["taskkill", "/f", "/im", image_name], loader=loader)

    def kill(self):
        subprocess.run(["wineserver", "-k"], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=30)
        try:
            subprocess.run(["wineserver", "-w"], env=self.env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=30)
        except subprocess.TimeoutExpired:
            pass

    def close(self):
        if os.path.isdir(self._tmp):
            self.kill()
            shutil.rmtree(self._tmp, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    # -- registry
    def reg(self, verb, key, *args, native=False):
        # The 64-bit service opens the classes in the view both widths share,
        # which is the 64-bit one: a prefix made without its 32-bit half keeps
        # a separate 32-bit classes key that nobody else reads.
        if native or (service_bits() == 64 and is_shared_classes_key(key)):
            return self.run(["reg", verb, key] + list(args) + (["/reg:64"] if wine_arch() == "win64" else []))
        return self.run([self._reg_program, verb, key] + list(args) + self._reg_view)

    def reg_add(self, key, value_name, data, kind="REG_SZ", native=False):
        args = ["/ve"] if value_name is None else ["/v", value_name]
        result = self.reg("add", key, *args, "/t", kind, "/d", data, "/f", native=native)
        if result.returncode != 0:
            raise RuntimeError("reg add %s failed: %s" % (key, result.stderr or result.stdout))

    def reg_query(self, key, value_name=None, native=False):
        result = self.reg("query", key, *(["/ve"] if value_name is None else ["/v", value_name]), native=native)
        if result.returncode != 0:
            return None
        for line in result.stdout.splitlines():
            match = re.match(r"\s+(\S.*?)\s+(REG_\w+)\s+(.*)$", line)
            if match:
                return match.group(3).rstrip("\r")
        return None

    _REGVIEW_ROOTS = {"HKEY_LOCAL_MACHINE": "HKLM", "HKLM": "HKLM", "HKEY_CURRENT_USER": "HKCU", "HKCU": "HKCU",
                      "HKEY_CLASSES_ROOT": "HKCR", "HKCR": "HKCR", "HKEY_USERS": "HKU", "HKU": "HKU"}

    def service_reg_query(self, key, value_name=None):
        root, _, sub_key = key.partition("\\")
        args = [os.path.join(bin_dir(), "regview.exe"), self._REGVIEW_ROOTS[root.upper()], sub_key]
        result = self.run(args + ([] if value_name is None else [value_name]))
        return result.stdout if result.returncode == 0 else None

    def register_air_installer(self, command_path):
        # The shell's open command of an AIR package: the quoted program, a
        # blank and the quoted document placeholder.
        command = '"%s" "%%1"' % command_path
        self.reg_add(AIR_COMMAND_KEY, None, command)
        seen = self.service_reg_query(AIR_COMMAND_KEY)
        if seen != command:
            raise RuntimeError("the AIR installer's command written to %s is not where the %d-bit service reads it "
                               "(it reads %r)" % (AIR_COMMAND_KEY, service_bits(), seen))

    def unregister_air_installer(self):
        self.reg("delete", "HKEY_CLASSES_ROOT\\AIR.InstallerPackage", "/f")

    # -- files
    def install_binaries(self, folder="C:\\MarlinCore"):
        target = self.linux_path(folder)
        os.makedirs(target, exist_ok=True)
        for name in ("MarlinCore.exe", "MarlinWinTab.dll"):
            source = os.path.join(bin_dir(), name)
            if os.path.exists(source):
                shutil.copy2(source, target)
        return folder.rstrip("\\") + "\\MarlinCore.exe"

    def read_log(self):
        try:
            with open(self.log_path, "rb") as f:
                return f.read().decode("utf-8", "replace").replace("\r\n", "\n")
        except FileNotFoundError:
            return ""

    def send_message(self, window_class, message, wparam=0, lparam=0, post=False):
        args = [os.path.join(bin_dir(), "winmsg.exe"), window_class, str(message), str(wparam), str(lparam)]
        if post:
            args.append("--post")
        return self.run(args, timeout=30).returncode


parse_key_file = marlin_client.parse_key_file


class Service:
    def __init__(self, prefix, exe=None, args=()):
        self.prefix = prefix
        self.exe = exe
        self.args = list(args)
        self.proc = None
        self.key = None
        self._log_offset = 0
        self._log_kept, self._log_last, self._log_seen = "", "", None
        self.stdout_path = self.stderr_path = None

    def start(self, wait=True, timeout=30, keep_key_file=False):
        if self.exe is None:
            self.exe = self.prefix.install_binaries()
        if os.path.exists(self.prefix.key_file_path) and not keep_key_file:
            os.remove(self.prefix.key_file_path)  # a fresh file tells that this start has written it
        # The service empties a log above 512 KiB when it opens it; empty a
        # long one first, so this start's lines begin at the offset kept here.
        if os.path.exists(self.prefix.log_path) and os.path.getsize(self.prefix.log_path) > 256 * 1024:
            open(self.prefix.log_path, "wb").close()
        self._log_offset = len(self.prefix.read_log())
        self._log_kept, self._log_last, self._log_seen = "", "", None
        self.stdout_path, self.stderr_path = self.prefix._output_files("MarlinCore")
        self.proc = self.prefix.start([self.exe] + self.args, self.stdout_path, self.stderr_path)
        if wait:
            return self.wait_key_file(timeout)
        return None

    def wait_key_file(self, timeout=30):
        self.key = marlin_client.wait_key_file(self.prefix.key_file_path, timeout)
        if self.key is None:
            raise TimeoutError("no key file after %s s; log:\n%s" % (timeout, self.log()))
        return self.key

    def alive(self):
        return self.proc is not None and self.proc.poll() is None

    def wait_exit(self, timeout=15):
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def log(self):
        text = self.prefix.read_log()
        # Past its size cap the service empties the log and starts it again:
        # what this start wrote before that is kept from the earlier reads.
        seen = self._log_seen
        if seen and text[seen[0] - len(seen[1]):seen[0]] != seen[1]:
            self._log_kept += self._log_last
            self._log_offset = 0
        self._log_last = text[self._log_offset:]
        self._log_seen = (len(text), text[-64:])
        return self._log_kept + self._log_last

    def wait_log(self, text, timeout=10, count=1):
        return bool(_wait_until(lambda: self.log().count(text) >= count, timeout))

    def command(self, authorize=True, timeout=10):
        client = Client(self.key.command_port, timeout)
        if authorize:
            reply = client.authorize(self.key.auth_key)
            if reply != "authOk":
                raise AssertionError("authorization refused: %r" % reply)
        return client

    def pressure(self, timeout=10):
        return Client(self.key.pressure_port, timeout)

    def apps(self, timeout=10):
        return Client(self.key.apps_port, timeout)

    def threads_report(self):
        """For a service that does not end: each of its threads with its state and CPU time."""
        pid = self.proc.pid
        lines = []
        try:
            for task in sorted(os.listdir("/proc/%d/task" % pid), key=int):
                with open("/proc/%d/task/%s/stat" % (pid, task)) as f:
                    fields = f.read().rsplit(")", 1)[1].split()
                lines.append("thread %s: state %s, cpu %s+%s ticks" % (task, fields[0], fields[11], fields[12]))
        except OSError as e:
            lines.append("(no thread list: %s)" % e)
        return "\n".join(lines)

    def rss_kib(self):
        with open("/proc/%d/status" % self.proc.pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        return 0

    def open_fds(self):
        return len(os.listdir("/proc/%d/fd" % self.proc.pid))

    def stop(self, timeout=15):
        if not self.alive():
            return self.proc.returncode if self.proc else None
        self.prefix.send_message(SOCKETS_WINDOW_CLASS, WM_CLOSE)
        code = self.wait_exit(timeout)
        if code is None:
            sys.stderr.write("the service did not end within %d s of its close; its threads:\n%s\n"
                             % (timeout, self.threads_report()))
            self.prefix.kill()  # last resort, this prefix only
            self.wait_exit(10)
        return code


class Client(marlin_client.Connection):
    """The library's connection with the harness's reading rules: request() skips only the
    attached-device reports (kept in .device_reports); broadcasts and pen words are
    returned as they come, so suites can assert on every frame."""

    def __init__(self, port, timeout=10):
        super().__init__(port, marlin_client.COMMAND, timeout)
        self.device_reports = []
        self.on_unsolicited = lambda message: self.device_reports.append(message.text)

    def send_raw(self, data):
        self.sock.sendall(data)  # the socket's own errors (reset, broken pipe), as the suites expect them

    def read_raw_frames_in_background(self, count, timeout):
        """Starts a thread that reads raw bytes until count delimiters have come (or the
        connection ends); returns (thread, the bytearray it fills)."""
        received = bytearray()

        def read():
            self.sock.settimeout(timeout)
            while received.count(b"|") < count:
                piece = self.sock.recv(1 << 20)
                if not piece:
                    return
                received.extend(piece)

        reader = threading.Thread(target=read, daemon=True)
        reader.start()
        return reader, received

    def authorize(self, key):
        return self.request("auth " + key)

    def read_event(self, timeout=None):
        return tuple(self.read_message(timeout, tokens=True))
