"""The product's setup program (build/bin/MarlinSetup.exe, real NSIS, the
build's own width: x86-unicode for the 32-bit product, amd64-unicode for the
64-bit build) installing, upgrading and removing the real service under Wine.

The uninstaller is run the way that can be waited for: NSIS's uninstaller
copies itself to %TEMP% and returns at once; a copy started with
"_?=<install folder>" does the work in its own process and its exit code is
the uninstaller's. "_?=" must be the last, unquoted argument, and Wine quotes
every argument that holds a blank, so the copy is started from a batch file.

Under Wine every folder answers Wine's own DACL (Everyone may read it), so the
common vendor folder is always public; the not-public answer is reached with
a folder that cannot be opened (a dangling link in its place).
"""
import os
import shutil
import signal
import subprocess
import time

import pytest

import marlin_e2e
from test_maintenance import make_update_folder, read, wait_new_key
from test_tablet import DOCK_CLASS, DOCK_TITLE, dock, driver_dir, replay, wintabctl  # noqa: F401 (dock is a fixture)

UNINSTALL_KEY = "HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\MarlinCore"
UNINSTALLER = "Uninstall MarlinCore.exe"
SHORTCUT = "ProgramData/Microsoft/Windows/Start Menu/Programs/Marlin Dock Core.lnk"
MARKER = b"\0newer-build"


def install_folder():
    return marlin_e2e.setup_program_files() + "\\Marlin Dock"


def setup_exe():
    return os.path.join(marlin_e2e.bin_dir(), "MarlinSetup.exe")


def source_dir():
    return os.environ.get("MARLIN_SOURCE_DIR") or os.path.dirname(os.path.dirname(os.path.dirname(
        os.path.abspath(__file__))))


def build_dir():
    return os.environ.get("MARLIN_BUILD_DIR") or os.path.dirname(marlin_e2e.bin_dir())


def shipped(name):
    """A program as the setup ships it (the built one without its symbols)."""
    return read(os.path.join(build_dir(), "installer-files", name))


@pytest.fixture
def prefix():
    with marlin_e2e.WinePrefix() as p:
        yield p


def run_setup(prefix, *args, exe=None, timeout=90):
    started = time.monotonic()
    result = prefix.run([exe or setup_exe(), "/S"] + list(args), timeout=timeout)
    return result, time.monotonic() - started


def uninstall(prefix, *args, folder=None):
    folder = folder or install_folder()
    copy = prefix.linux_path("C:\\uninstall-copy")
    os.makedirs(copy, exist_ok=True)
    shutil.copy(os.path.join(prefix.linux_path(folder), UNINSTALLER), os.path.join(copy, "u.exe"))
    with open(os.path.join(copy, "run.cmd"), "w", newline="") as f:
        f.write('"C:\\uninstall-copy\\u.exe" /S %s _?=%s\r\nexit /b %%ERRORLEVEL%%\r\n' % (" ".join(args), folder))
    started = time.monotonic()
    result = prefix.run(["cmd", "/c", "C:\\uninstall-copy\\run.cmd"], timeout=90)
    elapsed = time.monotonic() - started
    shutil.rmtree(copy)
    return result, elapsed


def listing(prefix):
    """Every file and folder of the prefix's drive C outside Windows' own and the temporary folders."""
    found = set()
    for top, dirs, files in os.walk(prefix.drive_c):
        rel = os.path.relpath(top, prefix.drive_c)
        if rel == "windows" or rel.endswith("/Temp"):
            dirs[:] = []
            continue
        found.update(os.path.normpath(os.path.join(rel, name)) for name in dirs + files)
    return found


def installed_service(prefix, timeout=30):
    """The service the setup started: its key file, as a Service to talk to."""
    service = marlin_e2e.Service(prefix)
    service.key = marlin_e2e.marlin_client.wait_key_file(prefix.key_file_path, timeout)
    assert service.key, "the setup started no service; log:\n" + prefix.read_log()
    return service


def service_pid(prefix):
    """The Linux process of the MarlinCore.exe running in this prefix (and no other)."""
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                cmdline = f.read()
            with open("/proc/%s/environ" % pid, "rb") as f:
                environ = f.read().split(b"\0")
        except OSError:
            continue
        if b"MarlinCore.exe" in cmdline and ("WINEPREFIX=" + prefix.path).encode() in environ:
            return int(pid)
    return None


def entry(prefix, name):
    return prefix.reg_query(UNINSTALL_KEY, name)


def close_service(prefix):
    prefix.send_message(marlin_e2e.SOCKETS_WINDOW_CLASS, marlin_e2e.WM_CLOSE)
    assert marlin_e2e._wait_until(lambda: service_pid(prefix) is None, 15)


def test_install_serves_and_uninstall_leaves_only_user_data(prefix, capsys):
    before = listing(prefix)
    if os.path.exists(prefix.key_file_path):
        os.remove(prefix.key_file_path)
    result, install_time = run_setup(prefix, "/START")
    assert result.returncode == 0, result.stderr

    installed = prefix.linux_path(install_folder())
    assert sorted(os.listdir(installed)) == ["MarlinCore.exe", "MarlinWinTab.dll", UNINSTALLER]
    for name in ("MarlinCore.exe", "MarlinWinTab.dll"):
        assert read(os.path.join(installed, name)) == shipped(name)
    service = installed_service(prefix)
    with service.command() as client:
        assert client.request("getCoreVersion") == "Success CoreVersion=2.06.0"
        assert client.request("getCommonUserDir") == "Success CommonUserDir=C:\\ProgramData\\Orvex\\"
    assert os.path.isdir(prefix.linux_path("C:\\ProgramData\\Orvex"))
    with open("/proc/%d/cmdline" % service_pid(prefix), "rb") as f:
        assert b"\\Marlin Dock\\MarlinCore.exe" in f.read()  # it runs from the installation

    assert entry(prefix, "DisplayName") == "Marlin Dock Core"
    assert entry(prefix, "DisplayVersion") == "2.06.0"
    assert entry(prefix, "Publisher") == "Orvex"
    assert entry(prefix, "InstallLocation") == install_folder()
    assert entry(prefix, "UninstallString") == '"%s\\%s"' % (install_folder(), UNINSTALLER)
    assert int(entry(prefix, "EstimatedSize"), 16) >= os.path.getsize(os.path.join(installed, "MarlinCore.exe")) // 1024
    assert os.path.isfile(os.path.join(prefix.drive_c, SHORTCUT))

    # Uninstall with the service running: it is stopped, every file, the
    # entry and the shortcut go; the key file's folder, the log and the common
    # vendor folder stay.
    result, uninstall_time = uninstall(prefix)
    assert result.returncode == 0, result.stderr
    assert service_pid(prefix) is None
    assert entry(prefix, "DisplayName") is None
    user_data = {"ProgramData/Orvex", os.path.relpath(os.path.dirname(prefix.key_file_path), prefix.drive_c),
                 os.path.relpath(prefix.key_file_path, prefix.drive_c)}
    assert listing(prefix) - before == user_data
    assert before - listing(prefix) == set()

    # Again, with /PURGE: the user's data goes too, the log included.
    assert run_setup(prefix)[0].returncode == 0
    result, _ = uninstall(prefix, "/PURGE")
    assert result.returncode == 0, result.stderr
    assert listing(prefix) == before - {os.path.relpath(prefix.log_path, prefix.drive_c)}
    with capsys.disabled():
        print("\ninstaller timings under Wine: install %.2f s, uninstall %.2f s, setup %d bytes"
              % (install_time, uninstall_time, os.path.getsize(setup_exe())))


def newer_setup(tmp_path):
    """A setup of version 2.06.1 whose programs are the built ones with MARKER appended."""
    files = tmp_path / "newer"
    files.mkdir()
    for name in ("MarlinCore.exe", "MarlinWinTab.dll"):
        (files / name).write_bytes(shipped(name) + MARKER)
    header = tmp_path / "Version.h"
    header.write_text(open(os.path.join(source_dir(), "core", "util", "Version.h")).read()
                      .replace('kVersionRelease = "0"', 'kVersionRelease = "1"'))
    return build_setup(tmp_path, "newer.exe", BIN_DIR=files, VERSION_HEADER=header)


def build_setup(tmp_path, name, **defines):
    values = {"TARGET": "amd64" if marlin_e2e.service_bits() == 64 else "x86",
              "BIN_DIR": os.path.join(build_dir(), "installer-files"),
              "PLUGIN_DIR": os.path.join(build_dir(), "installer-plugins"),
              "OUTFILE": tmp_path / name}
    values.update(defines)
    subprocess.run(["makensis", "-V2"] + ["-D%s=%s" % item for item in values.items()]
                   + [os.path.join(source_dir(), "installer", "MarlinSetup.nsi")], check=True, timeout=120)
    return str(tmp_path / name)


@pytest.fixture
def tablet(prefix):
    """The stand-in tablet driver where the service of this prefix loads it from."""
    shutil.copy2(os.path.join(driver_dir(), "wintab32.dll"), marlin_e2e.service_system_dir(prefix))
    prefix.env["WINEDLLOVERRIDES"] += ";wintab32=n,b"


def start_pen_stream(service, prefix, tmp_path):
    pen = service.pressure()
    assert pen.request('listenTablet "%s" unused' % DOCK_TITLE) == "Success "
    assert pen.request("startTablet") == ""
    assert wintabctl(prefix, "wait-context", "10000").returncode == 0
    replay(prefix, tmp_path, "in\npacket 1 0 10800 6750 300\n")
    assert pen.read_event(10) == ("frame", "PenData.PROXIMITY_IN")
    return pen


def test_upgrade_while_the_service_runs_then_its_own_update_then_uninstall(prefix, tablet, dock, tmp_path, capsys):
    newer = newer_setup(tmp_path)
    assert run_setup(prefix, "/START")[0].returncode == 0
    service = installed_service(prefix)
    old_key = service.key
    installed = prefix.linux_path(install_folder())
    # What the service's own update of an earlier version leaves beside the programs.
    for name in ("MarlinCore.exe.bck", "MarlinWinTab.dll.bck"):
        shutil.copy(os.path.join(installed, name[:-4]), os.path.join(installed, name))

    # The dock connected and its pen stream running, through the hook library
    # the service loaded into the dock's process.
    with service.command() as client, start_pen_stream(service, prefix, tmp_path) as pen:
        result, upgrade_time = run_setup(prefix, exe=newer)
        assert result.returncode == 0, result.stderr
        assert client.wait_closed(10) and pen.wait_closed(10)  # closed, not reset by a crash
    assert dock.poll() is None  # the dock outlives the service it was hooked by
    new_key = wait_new_key(prefix, old_key, 30)
    assert new_key, "the upgrade started no new service; log:\n" + prefix.read_log()
    restarted = marlin_e2e.Service(prefix)
    restarted.key = new_key
    with restarted.command() as client:
        assert client.request("getCoreVersion") == "Success CoreVersion=2.06.0"
    start_pen_stream(restarted, prefix, tmp_path).close()  # the new hook library in the same dock
    # The old hook library is still mapped in the running dock (Wine never lets
    # a hooked process go of it; Windows does when its thread next takes a
    # message): it could only be renamed, and goes at the next restart.
    left = sorted(os.listdir(installed))
    assert left in (["MarlinCore.exe", "MarlinWinTab.dll", UNINSTALLER],
                    ["MarlinCore.exe", "MarlinWinTab.dll", "MarlinWinTab.dll.old", UNINSTALLER]), left
    if "MarlinWinTab.dll.old" in left:
        pending = prefix.reg_query("HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Session Manager",
                                   "PendingFileRenameOperations", native=True)
        assert pending and "Marlin Dock\\MarlinWinTab.dll.old" in pending, pending
    for name in ("MarlinCore.exe", "MarlinWinTab.dll"):
        assert read(os.path.join(installed, name)) == shipped(name) + MARKER, name
    assert entry(prefix, "DisplayVersion") == "2.06.1"

    # The service's own update path still works in the installer's folder:
    # the Updater replaces the programs and keeps backups, the service restarts.
    folder = make_update_folder(prefix, "from the dock")
    with restarted.command() as client:
        client.send('update "%s"' % folder)
        assert client.wait_closed(30)
    updated_key = wait_new_key(prefix, new_key, 60)
    assert updated_key, "no restart after the update; log:\n" + prefix.read_log()
    assert read(os.path.join(installed, "MarlinCore.exe")).endswith(b"\0update-marker")
    assert os.path.isfile(os.path.join(installed, "MarlinCore.exe.bck"))

    # The uninstaller removes what the service's update left as well (the dock
    # closed first: a library it holds would go only at the next restart).
    prefix.send_message(DOCK_CLASS, marlin_e2e.WM_CLOSE, post=True)
    dock.wait(15)
    result, _ = uninstall(prefix)
    assert result.returncode == 0, result.stderr
    assert not os.path.exists(installed)
    with capsys.disabled():
        print("\ninstaller timings under Wine: upgrade with the service running %.2f s" % upgrade_time)


def test_a_service_that_does_not_stop_leaves_everything_as_it_was(prefix, tmp_path):
    assert run_setup(prefix, "/START")[0].returncode == 0
    service = installed_service(prefix)
    pid = service_pid(prefix)
    installed = prefix.linux_path(install_folder())
    os.kill(pid, signal.SIGSTOP)  # a service that answers nothing
    try:
        result, _ = run_setup(prefix)  # the same version again: it too stops the service first
        assert result.returncode == 5
        assert "did not stop within 10 seconds. Nothing was changed" in result.stderr
        result, _ = uninstall(prefix)
        assert result.returncode == 5
    finally:
        os.kill(pid, signal.SIGCONT)
    assert read(os.path.join(installed, "MarlinCore.exe")) == shipped("MarlinCore.exe")
    assert entry(prefix, "DisplayVersion") == "2.06.0"
    with service.command() as client:
        assert client.request("getCoreVersion") == "Success CoreVersion=2.06.0"
    close_service(prefix)


def test_faults_are_refused_with_their_reason_and_change_nothing(prefix, tmp_path):
    before = listing(prefix)
    open(os.path.join(prefix.drive_c, "blocker"), "w").close()
    before.add("blocker")

    # A folder that cannot be made (a file on the way), and one holding files of another program.
    result, _ = run_setup(prefix, "/D=C:\\blocker\\Marlin")
    assert result.returncode == 6 and "Cannot install into C:\\blocker\\Marlin" in result.stderr
    result, _ = run_setup(prefix, "/D=C:\\users")
    assert result.returncode == 7 and "already holds files that this setup did not install" in result.stderr

    # A damaged setup program: NSIS's own check refuses it.
    damaged = tmp_path / "damaged.exe"
    damaged.write_bytes(read(setup_exe())[:os.path.getsize(setup_exe()) * 2 // 3])
    result, _ = run_setup(prefix, exe=str(damaged))
    assert result.returncode == 2

    # Not an administrator (under Wine everyone is one: the account's answer is given to a test build).
    result, _ = run_setup(prefix, exe=build_setup(tmp_path, "user.exe", GIVEN_ACCOUNT_TYPE="User"))
    assert result.returncode == 3 and "can only be installed or removed by an administrator" in result.stderr

    # A second setup while one runs (the first waits on its first page). Until
    # the first holds its lock the second is refused for the folder (7).
    first = prefix.start([setup_exe()], str(tmp_path / "first.out"), str(tmp_path / "first.err"))
    try:
        def refused():
            result, _ = run_setup(prefix, "/D=C:\\users")
            return result if result.returncode == 4 else None
        result = marlin_e2e._wait_until(refused, 30, interval=0.5)
        assert result and "Another setup of Marlin Dock Core is running" in result.stderr
    finally:
        first.kill()
        first.wait(10)

    assert entry(prefix, "DisplayName") is None
    assert listing(prefix) == before


def test_a_common_folder_that_is_not_public_is_reported_and_the_install_goes_on(prefix):
    common = prefix.linux_path("C:\\ProgramData\\Orvex")
    os.symlink("/nonexistent/orvex", common)  # exists, yet cannot be opened: the check answers "not public"
    result, _ = run_setup(prefix)
    assert result.returncode == 0, result.stderr
    assert "The common folder C:\\ProgramData\\Orvex\\ is not readable by all users" in result.stderr
    assert entry(prefix, "DisplayVersion") == "2.06.0"
