"""Test packages for the application commands, built at test time with wixl.

    build_package(folder, name, upgrade_code, version="1.0.0") -> path of <name>.msi
    related_products(prefix, upgrade_code) -> product codes (read back through msi.dll)
    install_location(prefix, product_code) -> "InstallLocation" or None
    wait_for(predicate, timeout) -> the predicate's last value (a bounded poll)

Each package holds MarlinTestApp.exe (from MARLIN_BIN_DIR) under the file name
<name>.exe, installs it into the folder given by the public property APPDIR
(default: Program Files\\<name>), records that folder as the product's
"InstallLocation" and upgrades older versions with the same upgrade code.
Source: tests/fixtures/apps/app.wxs.in.
"""
import os
import shutil
import subprocess
import time
import uuid

SOURCE_DIR = os.environ.get("MARLIN_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
BIN_DIR = os.environ.get("MARLIN_BIN_DIR", os.path.join(SOURCE_DIR, "build", "bin"))
TEMPLATE = os.path.join(SOURCE_DIR, "tests", "fixtures", "apps", "app.wxs.in")


def new_upgrade_code():
    return "{%s}" % str(uuid.uuid4()).upper()


def build_package(folder, name, upgrade_code, version="1.0.0", file_name=None):
    """Builds <folder>/<file_name or name + '.msi'> and returns its path."""
    work = os.path.join(folder, "pkg-%s-%s" % (name, version))
    os.makedirs(work, exist_ok=True)
    exe = name + ".exe"
    shutil.copyfile(os.path.join(BIN_DIR, "MarlinTestApp.exe"), os.path.join(work, exe))
    with open(TEMPLATE, encoding="utf-8") as f:
        source = f.read()
    for key, value in (("@NAME@", name), ("@EXE@", exe), ("@VERSION@", version),
                       ("@UPGRADE_CODE@", upgrade_code)):
        source = source.replace(key, value)
    with open(os.path.join(work, "app.wxs"), "w", encoding="utf-8") as f:
        f.write(source)
    output = os.path.join(folder, file_name or (name + ".msi"))
    # wixl wants source paths relative to its working folder.
    subprocess.run(["wixl", "-o", output, "app.wxs"], cwd=work, check=True, timeout=60,
                   stdout=subprocess.DEVNULL)
    # wixl ignores Secure="yes" and writes SecureCustomProperties itself for
    # MajorUpgrade: add APPDIR so the installer service takes it from the
    # command line.
    subprocess.run(["msibuild", output, "-q",
                    "UPDATE `Property` SET `Value`='WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED;APPDIR' "
                    "WHERE `Property`='SecureCustomProperties'"], check=True, timeout=60)
    return output


def related_products(prefix, upgrade_code):
    """Product codes Windows Installer in `prefix` knows for upgrade_code (MsiProbe)."""
    result = prefix.run([os.path.join(BIN_DIR, "MsiProbe.exe"), "related", upgrade_code], timeout=60)
    assert result.returncode == 0, "MsiProbe related: %d %s" % (result.returncode, result.stderr)
    return [line.strip() for line in result.stdout.splitlines() if line.strip()]


def install_location(prefix, product_code):
    """The product's "InstallLocation" as Windows Installer reports it, or None."""
    result = prefix.run([os.path.join(BIN_DIR, "MsiProbe.exe"), "location", product_code], timeout=60)
    return result.stdout.strip() if result.returncode == 0 else None


def wait_for(predicate, timeout):
    """Polls predicate until it gives a true value or timeout seconds have passed."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(0.3)
