"""Self-maintenance on the real MarlinCore.exe: the Updater worker and the hot
restart, the Fixer worker with a dock package installed under the dock's
upgrade code, the per-start repairs and the crash handler.

Under Wine the user is always an administrator, so these are the
administrator's paths; the non-administrator decision is a unit test."""

import os
import re
import shutil

import pytest

import elevations
import marlin_e2e
import msi_packages

DOCK_UPGRADE_CODE = "{7C41A9E3-25D0-4B8F-9E16-3F0B8D52C6A4}"
INSTALL_FOLDER = "C:\\Program Files\\Orvex\\Marlin Core"  # blanks, as in a real installation
RUN_KEY = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run"
USER_HIVE = "HKEY_USERS\\S-1-5-21-0-0-0-1000"  # Wine's own user
OPEN_COMMAND_KEY = "HKEY_CURRENT_USER\\Software\\Classes\\MarlinDockApplication\\shell\\Open\\Command"
MARKER = b"\0update-marker"  # appended to the copies: still valid programs, told apart by their end


def read(path):
    with open(path, "rb") as f:
        return f.read()


def make_update_folder(prefix, name, with_dll=True):
    """An update folder holding copies of the built files, each with MARKER appended."""
    folder = "C:\\updates\\" + name
    target = prefix.linux_path(folder)
    os.makedirs(target)
    pairs = [("MarlinCore.exe", "MarlinCoreUpdate.exe")]
    if with_dll:
        pairs.append(("MarlinWinTab.dll", "MarlinWinTabUpdate.dll"))
    for built, delivered in pairs:
        with open(os.path.join(target, delivered), "wb") as f:
            f.write(read(os.path.join(marlin_e2e.bin_dir(), built)) + MARKER)
    return folder


def wait_new_key(prefix, old_key, timeout=60):
    def new_key():
        try:
            key = marlin_e2e.parse_key_file(read(prefix.key_file_path).decode("utf-8", "replace"))
        except FileNotFoundError:
            return None
        return key if key and key.auth_key != old_key.auth_key else None
    return marlin_e2e._wait_until(new_key, timeout)


@pytest.fixture
def fresh_prefix():
    with marlin_e2e.WinePrefix() as p:
        yield p


def update_and_restart(prefix, folder):
    """Sends "update <folder>" to a fresh service; returns (old key, new key, install folder)."""
    exe = prefix.install_binaries(INSTALL_FOLDER)
    service = marlin_e2e.Service(prefix, exe=exe)
    old_key = service.start()
    with service.command() as client:
        client.send('update "%s"' % folder)
        assert client.wait_closed(30)  # no reply: the listeners close for the restart
    assert service.wait_exit(30) == 0  # the old run hands over to the new one
    new_key = wait_new_key(prefix, old_key)
    assert new_key, "no new key file after the update; log:\n" + prefix.read_log()
    return service, old_key, new_key, prefix.linux_path(INSTALL_FOLDER)


def test_update_installs_both_files_and_restarts(fresh_prefix):
    prefix = fresh_prefix
    original_exe = read(os.path.join(marlin_e2e.bin_dir(), "MarlinCore.exe"))
    original_dll = read(os.path.join(marlin_e2e.bin_dir(), "MarlinWinTab.dll"))
    folder = make_update_folder(prefix, "full")
    service, old_key, new_key, installed = update_and_restart(prefix, folder)

    assert read(os.path.join(installed, "MarlinCore.exe")) == original_exe + MARKER
    assert read(os.path.join(installed, "MarlinCore.exe.bck")) == original_exe
    assert read(os.path.join(installed, "MarlinWinTab.dll")) == original_dll + MARKER
    assert read(os.path.join(installed, "MarlinWinTab.dll.bck")) == original_dll
    # Both installed: the delivered files are removed (the backups are what a failed restart needs).
    assert os.listdir(prefix.linux_path(folder)) == []
    assert not [name for name in os.listdir(installed) if name.endswith(".new")]

    assert {new_key.command_port, new_key.pressure_port, new_key.apps_port} != \
        {old_key.command_port, old_key.pressure_port, old_key.apps_port}
    restarted = marlin_e2e.Service(prefix)
    restarted.key = new_key
    with restarted.command() as client:
        assert client.request("getCoreVersion") == "Success CoreVersion=2.06.0"

    log = prefix.read_log()
    assert "Maintenance: Updating!" in log
    assert 'with args \'Updater "%s"\' and elevated and keep waiting' % folder in log
    assert "[HOTREBOOT] Rebooting into: [HOTREBOOT]\n" in log
    assert log.count("Marlin Dock Core - Version 2.06 RC0") >= 3  # service, Updater, new service
    assert re.search(r"MarlinCore Session \d+ on Windows [1-9]\d*\.\d+\n", log)  # the system, handed to the log
    assert elevations.count(log) == 1


def test_a_truncated_update_is_refused_and_the_installed_program_comes_back(fresh_prefix):
    prefix = fresh_prefix
    original_exe = read(os.path.join(marlin_e2e.bin_dir(), "MarlinCore.exe"))
    folder = make_update_folder(prefix, "cut short")
    delivered = os.path.join(prefix.linux_path(folder), "MarlinCoreUpdate.exe")
    cut = read(delivered)[:len(original_exe) // 3]
    with open(delivered, "wb") as f:
        f.write(cut)
    _, _, new_key, installed = update_and_restart(prefix, folder)

    assert read(os.path.join(installed, "MarlinCore.exe")) == original_exe
    assert not os.path.exists(os.path.join(installed, "MarlinCore.exe.bck"))
    assert read(delivered) == cut
    assert os.path.exists(os.path.join(prefix.linux_path(folder), "MarlinWinTabUpdate.dll"))
    restarted = marlin_e2e.Service(prefix)
    restarted.key = new_key
    with restarted.command() as client:
        assert client.request("getCoreVersion") == "Success CoreVersion=2.06.0"
    assert "ProcessManager::InstallCoreUpdate: new file damaged or unreadable, keeping " in prefix.read_log()
    assert "Maintenance: not every update file was installed, the update files stay in " in prefix.read_log()


def test_a_restart_into_a_program_that_cannot_run_puts_the_backup_back(fresh_prefix):
    # As an update stopped half-way leaves it: the running program already
    # renamed to its backup, a program cut short in its place.
    prefix = fresh_prefix
    exe = prefix.install_binaries(INSTALL_FOLDER)
    installed = prefix.linux_path(INSTALL_FOLDER)
    program = os.path.join(installed, "MarlinCore.exe")
    original_exe = read(program)
    service = marlin_e2e.Service(prefix, exe=exe)
    old_key = service.start()
    os.rename(program, program + ".bck")
    with open(program, "wb") as f:
        f.write(original_exe[:len(original_exe) // 3])

    with service.command() as client:
        client.send('update "C:\\no update here"')  # the Updater cannot start from the damaged program
        assert client.wait_closed(30)
    assert service.wait_exit(30) == 0
    assert wait_new_key(prefix, old_key), "no new key file after the restart; log:\n" + prefix.read_log()
    assert read(program) == original_exe
    assert not os.path.exists(program + ".bck")
    assert "Maintenance: putting back " in prefix.read_log()


def test_update_without_the_library_keeps_the_installed_one(fresh_prefix):
    prefix = fresh_prefix
    original_dll = read(os.path.join(marlin_e2e.bin_dir(), "MarlinWinTab.dll"))
    folder = make_update_folder(prefix, "core only", with_dll=False)
    _, _, new_key, installed = update_and_restart(prefix, folder)

    assert read(os.path.join(installed, "MarlinCore.exe")).endswith(MARKER)
    assert read(os.path.join(installed, "MarlinWinTab.dll")) == original_dll
    assert not os.path.exists(os.path.join(installed, "MarlinWinTab.dll.bck"))
    assert "ProcessManager::InstallDllUpdate: no new file, keeping " in prefix.read_log()
    assert new_key.auth_key


@pytest.mark.parametrize("args, complaint", [
    (["Updater"], "CoreUpdate: Invalid arguments"),
    # An elevated copy: it must not carry on as a second, elevated service.
    (["installNativeApp", "only-one"], "HandleElevatedNativeAppMSI: Invalid command line, nothing done."),
])
def test_a_worker_with_wrong_arguments_ends_without_listeners(fresh_prefix, args, complaint):
    prefix = fresh_prefix
    exe = prefix.install_binaries(INSTALL_FOLDER)
    result = prefix.run([exe] + args, timeout=60)
    assert result.returncode == 0
    log = prefix.read_log()
    assert log.index(complaint) < log.index("Quitting maintenance worker...")
    assert "Listen [" not in log
    assert not os.path.exists(prefix.key_file_path)


def test_fixer_marks_the_uninstall_entry_and_moves_the_run_value(fresh_prefix, tmp_path):
    prefix = fresh_prefix
    package = msi_packages.build_package(str(tmp_path), "MarlinDockStandIn", DOCK_UPGRADE_CODE)
    assert prefix.run(["msiexec", "/i", prefix.windows_path(package), "/qn"], timeout=120).returncode == 0
    related = prefix.run([os.path.join(marlin_e2e.bin_dir(), "MsiProbe.exe"), "related", DOCK_UPGRADE_CODE])
    product_code = related.stdout.split()[0]
    entry = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + product_code
    assert prefix.reg_query(entry, "SystemComponent") is None

    # The dock's installer left its autostart machine-wide. Two more user
    # hives: one with a Run key, one without; and a service account's.
    other_user = "HKEY_USERS\\S-1-5-21-7-7-7-1001"
    service_account = "HKEY_USERS\\S-1-5-18"
    prefix.reg_add("HKEY_LOCAL_MACHINE\\" + RUN_KEY, "Marlin Dock", "C:\\old\\Marlin Dock.exe")
    prefix.reg_add(other_user + "\\" + RUN_KEY, "Other", "x")
    prefix.reg_add(service_account + "\\" + RUN_KEY, "Other", "x")
    prefix.reg_add("HKEY_USERS\\S-1-5-21-7-7-7-1002\\Software", "Other", "x")

    exe = prefix.install_binaries(INSTALL_FOLDER)
    service = marlin_e2e.Service(prefix, exe=exe)
    service.start()
    log = service.log()
    assert "Maintenance: - Uninstall key is wrong." in log
    assert "Start MarlinCore.exe (@%s) with args 'Fixer' and elevated and keep waiting succeeded." \
        % INSTALL_FOLDER in log
    assert "Dock update detected: fixing registry for uninstaller" in log
    assert "Maintenance complete." in log
    assert elevations.count(log) == 1  # one Fixer does both repairs
    service.stop()

    assert prefix.reg_query(entry, "SystemComponent") == "0x1"
    dock = '"%s\\Marlin Dock\\Marlin Dock.exe"' % INSTALL_FOLDER
    # The Fixer gave every user the value; the start then removed this user's (setAsStartup brings it back).
    assert prefix.reg_query(USER_HIVE + "\\" + RUN_KEY, "Marlin Dock") is None
    assert prefix.reg_query(other_user + "\\" + RUN_KEY, "Marlin Dock") == dock
    assert prefix.reg_query(service_account + "\\" + RUN_KEY, "Marlin Dock") is None
    assert prefix.reg_query("HKEY_USERS\\S-1-5-21-7-7-7-1002\\" + RUN_KEY, "Marlin Dock") is None
    assert prefix.reg_query("HKEY_LOCAL_MACHINE\\" + RUN_KEY, "Marlin Dock") is None

    service.start()
    log = service.log()
    assert "Maintenance: + Uninstall key is ok." in log
    assert "No maintenance required." in log
    assert elevations.count(log) == 0
    service.stop()


def test_the_dock_and_widget_entries_are_those_of_the_32_bit_view(fresh_prefix, tmp_path):
    # The product is 32-bit: on 64-bit Windows it finds the uninstall entries
    # that 32-bit installers write (under Wow6432Node) and marks the dock's
    # there, whatever width the service is built for.
    prefix = fresh_prefix
    if marlin_e2e.wine_arch() == "win32":
        pytest.skip("a 32-bit prefix has a single registry view")
    package = msi_packages.build_package(str(tmp_path), "MarlinDockStandIn", DOCK_UPGRADE_CODE)
    assert prefix.run(["msiexec", "/i", prefix.windows_path(package), "/qn"], timeout=120).returncode == 0
    product_code = msi_packages.related_products(prefix, DOCK_UPGRADE_CODE)[0]
    uninstall = "Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + product_code
    entries = {"Seen": "HKEY_LOCAL_MACHINE\\SOFTWARE\\Wow6432Node\\" + uninstall,
               "Unseen": "HKEY_LOCAL_MACHINE\\SOFTWARE\\" + uninstall}
    for name, entry in entries.items():  # written in the native view, each naming a program of its own
        prefix.reg("delete", entry, "/f", native=True)
        prefix.reg_add(entry, "InstallLocation", "C:\\widgets\\" + name, native=True)
        os.makedirs(prefix.linux_path("C:\\widgets\\" + name))
        shutil.copy2(os.path.join(marlin_e2e.bin_dir(), "MarlinTestApp.exe"),
                     prefix.linux_path("C:\\widgets\\%s\\%s.exe" % (name, name)))

    service = marlin_e2e.Service(prefix, exe=prefix.install_binaries(INSTALL_FOLDER))
    service.start()
    assert "Dock update detected: fixing registry for uninstaller" in service.log()
    with service.command() as client:
        assert client.request("startAirApplication Dock " + DOCK_UPGRADE_CODE) == "Success AirAppIsStarted=Dock"
    assert msi_packages.wait_for(lambda: os.path.exists(prefix.linux_path("C:\\widgets\\Seen\\Seen.exe.started")),
                                 30)
    assert prefix.kill_program("Seen.exe").returncode == 0
    service.stop()
    assert not os.path.exists(prefix.linux_path("C:\\widgets\\Unseen\\Unseen.exe.started"))
    assert prefix.reg_query(entries["Seen"], "SystemComponent", native=True) == "0x1"
    assert prefix.reg_query(entries["Unseen"], "SystemComponent", native=True) is None


def test_a_machine_wide_autostart_moves_with_one_fixer_and_every_start_removes_the_user_entry(fresh_prefix):
    prefix = fresh_prefix
    prefix.reg("delete", "HKEY_CURRENT_USER\\" + RUN_KEY, "/f")
    prefix.reg_add("HKEY_LOCAL_MACHINE\\" + RUN_KEY, "Marlin Dock", "C:\\old\\Marlin Dock.exe")
    exe = prefix.install_binaries(INSTALL_FOLDER)
    service = marlin_e2e.Service(prefix, exe=exe)

    def user_entry():
        return prefix.reg_query("HKEY_CURRENT_USER\\" + RUN_KEY, "Marlin Dock")

    for _ in range(2):
        service.start()
        assert user_entry() is None  # even right after the Fixer gave it to the users
        service.stop()
    log = prefix.read_log()
    assert elevations.count(log, "Fixer") == 1, log
    assert prefix.reg_query("HKEY_LOCAL_MACHINE\\" + RUN_KEY, "Marlin Dock") is None
    # Only setAsStartup brings it back, until the next start.
    service.start()
    with service.command() as dock:
        assert dock.request("setAsStartup").startswith("Success")
    service.stop()
    assert user_entry() == '"%s\\Marlin Dock\\Marlin Dock.exe"' % INSTALL_FOLDER
    service.start()
    assert user_entry() is None
    service.stop()


def test_a_start_without_the_dock_rewrites_its_open_command_and_starts_no_worker(fresh_prefix):
    prefix = fresh_prefix  # the dock is not installed: its uninstall entry cannot be marked
    prefix.reg_add(OPEN_COMMAND_KEY, None, "C:\\elsewhere\\dock.exe %1")
    exe = prefix.install_binaries(INSTALL_FOLDER)
    service = marlin_e2e.Service(prefix, exe=exe)
    service.start()
    expected = '"%s\\Marlin Dock\\Marlin Dock.exe" "%%1"' % INSTALL_FOLDER
    assert prefix.reg_query(OPEN_COMMAND_KEY) == expected
    assert "Common desktop path:\n" in service.log()
    assert "No maintenance required." in service.log()
    assert elevations.count(service.log()) == 0
    service.stop()


def test_without_adobe_air_the_service_ends_after_writing_the_key_file():
    with marlin_e2e.WinePrefix(air_installer=None) as prefix:
        service = marlin_e2e.Service(prefix)
        service.start()  # waits for the key file
        assert service.wait_exit(30) == 0
        assert "Adobe AIR not installed, exiting!" in service.log()
        assert os.path.exists(prefix.key_file_path)


@pytest.mark.parametrize("what, signal_number", [("2", 2), ("abort", 22)])
def test_sigint_and_abort_end_the_service_through_the_crash_handler(fresh_prefix, what, signal_number):
    # Wine does not pass a Unix SIGINT to a GUI program: SignalSender raises
    # the signal (or calls abort) on a new thread in the service, as Windows
    # delivers Ctrl+C to a console program.
    service = marlin_e2e.Service(fresh_prefix)
    service.start()
    pid = re.search(r"\(PID: (\d+)\)", service.log()).group(1)
    sender = fresh_prefix.run([os.path.join(marlin_e2e.bin_dir(), "SignalSender.exe"), pid, what])
    assert sender.returncode == 0
    assert service.wait_exit(30) == 1
    log = service.log()
    assert "[CRASH] Program terminated unexpectedly. Signal: %d\n" % signal_number in log
    assert "Call to [CRASH], returned error: " in log
