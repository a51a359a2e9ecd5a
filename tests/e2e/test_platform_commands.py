"""Commands on the platform services, through the command port of the real
service: file tests and permission repairs, program starts, the logon entry
and file associations (checked with `wine reg query`)."""

import os
import shutil
import time

import marlin_e2e

RUN_KEY = "HKEY_CURRENT_USER\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run"
MACHINE_RUN_KEY = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run"
CLASSES_KEY = "HKEY_CURRENT_USER\\Software\\Classes\\"


def wait_for(predicate, timeout=10):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() >= deadline:
            return False
        time.sleep(0.05)
    return True


def test_check_exists_and_permission_repairs(prefix, service):
    with service.command() as client:
        assert client.request("checkExists %APPDATA%\\Orvex\\marlinAuth.key") == "True"
        assert client.request("checkExists C:\\no\\such\\file.txt") == "False"
        assert client.request("checkExists  C:\\windows").startswith("SyntaxError Wrong number of arguments")

        common = client.request("getCommonUserDir").split("=", 1)[1]
        folder = common + "shared"
        os.makedirs(os.path.join(prefix.linux_path(folder), "inner"), exist_ok=True)
        with open(os.path.join(prefix.linux_path(folder), "data.txt"), "w") as f:
            f.write("x")

        assert client.request('fixDirectoryPermissions "%s"' % folder) == \
            "Success DirectoryPermissionsFixed=" + folder
        assert client.request('fixFilePermissions "%s\\data.txt"' % folder) == \
            "Success FilePermissionsFixed=%s\\data.txt" % folder
        # Wine keeps no lists, so the repair writes every time.
        assert " Fixing file: " + folder + "\\data.txt" in service.log()

        missing = client.request('fixFilePermissions "%s\\absent.txt"' % folder)
        assert missing.startswith("Failure ")
        assert "Call to ResetFilePermissions, returned error: " in missing


def test_start_process_with_and_without_arguments(prefix, service):
    folder = prefix.linux_path("C:\\probe")
    os.makedirs(folder, exist_ok=True)
    shutil.copy2(os.path.join(marlin_e2e.bin_dir(), "LaunchProbe.exe"), folder)
    record = os.path.join(folder, "started.txt")

    with service.command() as client:
        assert client.request("startProcess C:\\probe\\LaunchProbe.exe") == "Success "
        assert wait_for(lambda: "Start LaunchProbe.exe (@C:\\probe) succeeded." in service.log())

        reply = client.request("startProcess C:\\probe\\LaunchProbe.exe 'started=C:\\probe\\started.txt'")
        assert reply == "Success "
        assert wait_for(lambda: os.path.exists(record))
        assert "Start LaunchProbe.exe (@C:\\probe) with args 'started=C:\\probe\\started.txt' succeeded." \
            in service.log()

        failed = client.request("startProcess C:\\probe\\missing.exe")
        assert failed.startswith("Failure ================================================\n"
                                 "Call to Start missing.exe (@C:\\probe), returned error: ")
        assert client.request("startProcess a b c").startswith("SyntaxError Wrong number of arguments")


def test_logon_entry(prefix, service):
    quoted = '"C:\\MarlinCore\\Marlin Dock\\Marlin Dock.exe"'
    with service.command() as client:
        # The service removed the entry at start; nothing to remove now.
        reply = client.request("removeAsStartup")
        assert reply.startswith("Failure ================================================\nCall to DeleteKey(), ")

        assert client.request("setAsStartup") == "Success "
        assert prefix.reg_query(RUN_KEY, "Marlin Dock") == quoted
        assert client.request("setAsStartup") == "Success "
        assert prefix.reg_query(RUN_KEY, "Marlin Dock") == quoted

        prefix.reg_add(RUN_KEY, "Marlin Dock", "C:\\MarlinCore\\Marlin Dock\\Marlin Dock.exe")
        assert client.request("setAsStartup") == "Success "
        assert prefix.reg_query(RUN_KEY, "Marlin Dock") == quoted

        assert client.request("removeAsStartup") == "Success "
        assert prefix.reg_query(RUN_KEY, "Marlin Dock") is None


def test_machine_wide_entry_starts_the_fixer(prefix, service):
    prefix.reg_add(MACHINE_RUN_KEY, "Marlin Dock", '"C:\\Old\\Marlin Dock.exe"')
    with service.command() as client:
        assert client.request("setAsStartup", timeout=30) == "Success "
    assert "with args 'Fixer'" in service.log()
    prefix.reg("delete", MACHINE_RUN_KEY, "/v", "Marlin Dock", "/f")


def test_file_associations(prefix, service):
    prefix.reg_add(CLASSES_KEY + ".def", None, "OtherApp.Document")
    prefix.reg_add(CLASSES_KEY + ".def", "Content Type", "text/x-def")
    with service.command() as client:
        assert client.request("associateFileTypes abc def") == "True"
        assert prefix.reg_query(CLASSES_KEY + ".abc") == "MarlinDockApplication"
        assert prefix.reg_query(CLASSES_KEY + ".def") == "MarlinDockApplication"
        assert prefix.reg_query(CLASSES_KEY + ".def", "Content Type") == "text/x-def"

        # One bad extension fails the command; the good one is still done.
        assert client.request("associateFileTypes 'a\\b' ghi") == "False"
        assert prefix.reg_query(CLASSES_KEY + ".ghi") == "MarlinDockApplication"
        assert prefix.reg_query(CLASSES_KEY + ".a\\b") is None
        assert client.request("associateFileTypes").startswith("SyntaxError ")

        assert client.request("unassociateFileTypes abc def ghi never") == "True"
        for ext in ("abc", "def", "ghi", "never"):
            assert prefix.reg_query(CLASSES_KEY + "." + ext, "Content Type") is None
            assert prefix.reg_query(CLASSES_KEY + "." + ext) is None
