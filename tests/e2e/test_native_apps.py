"""Native application commands end to end: the real service starts the real
elevated copy of itself, which installs, upgrades and removes real Windows
Installer packages through Wine's msi.dll. The service answers once the copy
has started (it waits for it at most about 11 s), so the tests read the outcome
back from the system (msi.dll through MsiProbe, files on disk), each wait
bounded by the test."""

import os
import types

import pytest

import marlin_e2e
import msi_packages

CORE = "C:\\MarlinCore"
OUTCOME_TIMEOUT = 90
REPLY_TIMEOUT = 60


@pytest.fixture(scope="module")
def env(tmp_path_factory):
    with marlin_e2e.WinePrefix() as prefix:
        service = marlin_e2e.Service(prefix, exe=prefix.install_binaries(CORE))
        service.start()
        client = service.command()
        yield types.SimpleNamespace(prefix=prefix, service=service, client=client,
                                    packages=str(tmp_path_factory.mktemp("native-packages")))
        client.close()
        service.stop()


def package(env, name, code, version="1.0.0"):
    path = msi_packages.build_package(env.packages, name, code, version, file_name="%s-%s.msi" % (name, version))
    return marlin_e2e.WinePrefix.windows_path(path)


def test_install_start_stop_upgrade_and_remove(env):
    code = msi_packages.new_upgrade_code()
    c, prefix = env.client, env.prefix
    exe = prefix.linux_path(CORE + "\\Apps\\Calc\\Calc.exe")

    assert c.request("isNativeAppInstalled Calc " + code) == "Success NativeAppIsNotInstalled=Calc"
    reply = c.request('installNativeApp Calc %s "%s" Calc' % (code, package(env, "Calc", code)), REPLY_TIMEOUT)
    assert reply == "Success NativeAppInstallStarted=Calc"
    products = msi_packages.wait_for(lambda: msi_packages.related_products(prefix, code), OUTCOME_TIMEOUT)
    assert len(products) == 1
    # The elevated copy hands the package APPDIR = the core's folder + \Apps\ + folderName + \.
    assert msi_packages.install_location(prefix, products[0]) == CORE + "\\Apps\\Calc\\"
    assert os.path.isfile(exe)
    assert c.request("isNativeAppInstalled Calc " + code) == "Success NativeAppIsInstalled=Calc"

    # Installed already: answered without starting another copy.
    copies = env.service.log().count("Maintenance required, starting maintenance copy.")
    assert c.request('installNativeApp Calc %s "C:\\none.msi" Calc' % code) == "Success NativeAppInstallStarted=Calc"
    assert env.service.log().count("Maintenance required, starting maintenance copy.") == copies

    assert c.request('startNativeApplication Calc %s "-x y" Calc.exe' % code) == "Success NativeAppIsStarted=Calc"
    assert msi_packages.wait_for(lambda: os.path.exists(exe + ".started"), 30)
    with open(exe + ".started", encoding="utf-8") as f:
        assert f.read() == "-x y"
    assert c.request("isNativeAppRunning Calc x Calc.exe") == "Success NativeAppIsRunning=Calc"
    assert c.request("stopNativeApplication Calc x Calc.exe") == "Success NativeAppIsStopped=Calc"
    assert msi_packages.wait_for(lambda: c.request("isNativeAppRunning Calc x Calc.exe") == "Success NativeAppIsNotRunning=Calc",
                    30)
    assert c.request("stopNativeApplication Calc x Calc.exe") == "Success NativeAppIsStopped=Calc"

    # The newer package replaces the installed product itself.
    reply = c.request('upgradeNativeApp Calc %s "%s" Calc' % (code, package(env, "Calc", code, "2.0.0")),
                      REPLY_TIMEOUT)
    assert reply == "Success NativeAppUpgradeStarted=Calc"
    upgraded = msi_packages.wait_for(lambda: [p for p in msi_packages.related_products(prefix, code) if p not in products],
                        OUTCOME_TIMEOUT)
    assert len(upgraded) == 1
    assert msi_packages.wait_for(lambda: msi_packages.related_products(prefix, code) == upgraded, OUTCOME_TIMEOUT)
    assert os.path.isfile(exe)

    assert c.request("uninstallNativeApp Calc " + code, REPLY_TIMEOUT) == "Success NativeAppUninstallStarted=Calc"
    assert msi_packages.wait_for(lambda: msi_packages.related_products(prefix, code) == [], OUTCOME_TIMEOUT)
    assert msi_packages.wait_for(lambda: not os.path.exists(exe), 30)
    assert c.request("isNativeAppInstalled Calc " + code) == "Success NativeAppIsNotInstalled=Calc"


def test_answers_without_a_product(env):
    c = env.client
    code = msi_packages.new_upgrade_code()
    assert c.request("uninstallNativeApp Calc " + code) == "Success NativeAppUninstallStarted=Calc"
    assert "NativeApps: FindAllProducts: none found" in env.service.log()
    assert c.request('upgradeNativeApp Calc %s "C:\\p.msi" Calc' % code) == "Success NativeAppUpgradeFailed=Calc"
    assert c.request('startNativeApplication Calc %s "" Calc.exe' % code) == "Success NativeAppIsNotStarted=Calc"
    # A folder name that would leave the Apps folder starts nothing.
    assert c.request('installNativeApp Calc %s "C:\\p.msi" ..\\..\\Windows' % code) == \
        "Success NativeAppInstallFailed=Calc"


def test_argument_errors_and_rights(env):
    c = env.client
    assert c.request("installNativeApp Calc {x} C:\\p.msi").startswith("SyntaxError Wrong number of arguments - ")
    assert c.request("isNativeAppRunning Calc x").startswith("SyntaxError Wrong number of arguments - ")
    assert c.request("userCanAdministerNativeApps now").startswith("SyntaxError Wrong number of arguments - ")
    assert c.request("userCanAdministerNativeApps") == "Success UserCanAdministerNativeApps=true"
    assert c.request("noSuchCommand").startswith("SyntaxError Unknown command - ")


def test_a_64_bit_program_is_found_and_stopped_in_any_letter_case(env, tmp_path):
    # On 64-bit Windows most programs are 64-bit: the service finds them at
    # either width (a 32-bit one cannot read their module lists); file names
    # match in any letter case.
    probe = os.path.join(marlin_e2e.bin_dir(), "Probe64.exe")
    if not os.path.isfile(probe):
        pytest.skip("Probe64.exe was not built (no x86_64 MinGW compiler)")
    if not os.path.isdir(os.path.join(env.prefix.drive_c, "windows", "syswow64")):
        pytest.skip("a 32-bit prefix runs no 64-bit programs")
    c = env.client
    proc = env.prefix.start([probe, "120"], str(tmp_path / "probe.out"), str(tmp_path / "probe.err"))
    try:
        assert msi_packages.wait_for(
            lambda: c.request("isNativeAppRunning P x PROBE64.exe") == "Success NativeAppIsRunning=P", 30)
        # Stopped is answered only once the process has gone.
        assert c.request("stopNativeApplication P x probe64.EXE") == "Success NativeAppIsStopped=P"
        assert c.request("isNativeAppRunning P x Probe64.exe") == "Success NativeAppIsNotRunning=P"
        proc.wait(30)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait(10)
