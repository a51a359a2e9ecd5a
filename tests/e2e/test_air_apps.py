"""AIR widget commands end to end: the real service, the AIR installer stand-in
(tests/fixtures/apps) registered as the open command of AIR packages, real
Windows Installer packages and Wine's msi.dll and msiexec. Outcomes are read
back from the system (msi.dll through MsiProbe, files on disk), never from an
exit code. Every wait is bounded by the test."""

import os
import types

import pytest

import marlin_e2e
import msi_packages

INSTALL_TIMEOUT = 120  # the service answers only after the installer has finished
APPS = marlin_e2e.program_files() + "\\Marlin Dock\\Apps\\"


@pytest.fixture(scope="module")
def env(tmp_path_factory):
    stand_in = marlin_e2e.WinePrefix.windows_path(os.path.join(marlin_e2e.bin_dir(), "AirInstallerStandIn.exe"))
    with marlin_e2e.WinePrefix(air_installer=stand_in) as prefix:
        service = marlin_e2e.Service(prefix)
        service.start()
        client = service.command()
        yield types.SimpleNamespace(prefix=prefix, service=service, client=client, stand_in=stand_in,
                                    packages=str(tmp_path_factory.mktemp("air-packages")))
        client.close()
        service.stop()


def stand_in_calls(prefix):
    try:
        with open(os.path.join(prefix.drive_c, "AirInstallerStandIn.log"), encoding="utf-8") as f:
            return f.read().splitlines()
    except FileNotFoundError:
        return []


def package(env, name, code, version="1.0.0"):
    path = msi_packages.build_package(env.packages, name, code, version, file_name="%s-%s.air" % (name, version))
    return marlin_e2e.WinePrefix.windows_path(path)


def test_install_test_start_and_remove_a_widget(env):
    code = msi_packages.new_upgrade_code()
    air = package(env, "Clock", code)
    c = env.client
    assert c.request("isAirAppInstalled Clock " + code) == "Success AirAppIsNotInstalled=Clock"

    # The reply comes only once the installer has finished and the widget is installed.
    assert c.request('installAirApp Clock %s "%s"' % (code, air), INSTALL_TIMEOUT) == \
        "Success AirAppInstallStarted=Clock"
    assert stand_in_calls(env.prefix)[-1] == \
        '-silent -eulaAccepted -location "%s\\Clock" "%s"' % (APPS, air)
    products = msi_packages.related_products(env.prefix, code)
    assert len(products) == 1
    exe = env.prefix.linux_path(APPS + "Clock\\Clock.exe")
    assert os.path.isfile(exe)
    assert c.request("isAirAppInstalled Clock " + code) == "Success AirAppIsInstalled=Clock"

    # Started from the folder its "InstallLocation" names.
    assert c.request("startAirApplication Clock %s ignored" % code) == "Success AirAppIsStarted=Clock"
    assert msi_packages.wait_for(lambda: os.path.exists(exe + ".started"), 30)
    assert env.prefix.kill_program("Clock.exe").returncode == 0

    # Removal goes through Wine's msiexec, registered without quotes.
    assert c.request("uninstallAirApp Clock " + code, INSTALL_TIMEOUT) == "Success AirAppUninstallStarted=Clock"
    assert msi_packages.related_products(env.prefix, code) == []
    assert not os.path.exists(exe)
    assert c.request("isAirAppInstalled Clock " + code) == "Success AirAppIsNotInstalled=Clock"
    assert c.request("startAirApplication Clock " + code) == "Success AirAppIsNotStarted=Clock"
    # Nothing left to remove counts as removed; no tool is started.
    assert c.request("uninstallAirApp Clock " + code) == "Success AirAppUninstallStarted=Clock"
    assert "UninstallAirApp: Not Installed Clock" in env.service.log()


def test_upgrade_through_the_worker_copy(env):
    code = msi_packages.new_upgrade_code()
    c = env.client
    assert c.request('installAirApp Clock2 %s "%s"' % (code, package(env, "Clock2", code)), INSTALL_TIMEOUT) == \
        "Success AirAppInstallStarted=Clock2"
    old = msi_packages.related_products(env.prefix, code)
    assert len(old) == 1

    # The service waits for its upgradeAirApp copy, which removes the old
    # version and installs the new one.
    reply = c.request('upgradeAirApp Clock2 %s "%s"' % (code, package(env, "Clock2", code, "2.0.0")),
                      INSTALL_TIMEOUT)
    assert reply == "Success AirAppUpgradeStarted=Clock2"
    new = msi_packages.related_products(env.prefix, code)
    assert len(new) == 1 and new != old
    assert "Upgraded Air Application: Clock2" in env.service.log()
    assert os.path.isfile(env.prefix.linux_path(APPS + "Clock2\\Clock2.exe"))

    assert c.request("uninstallAirApp Clock2 " + code, INSTALL_TIMEOUT) == "Success AirAppUninstallStarted=Clock2"
    assert msi_packages.related_products(env.prefix, code) == []


def test_a_failed_installation_is_reported(env):
    code = msi_packages.new_upgrade_code()
    broken = os.path.join(env.packages, "Broken.air")
    with open(broken, "wb") as f:
        f.write(b"not a package")
    reply = env.client.request('installAirApp Broken %s "%s"' % (code, env.prefix.windows_path(broken)),
                               INSTALL_TIMEOUT)
    assert reply == "Success AirAppInstallFailed=Broken"
    assert "isAirAppInstalled: Not Installed Broken" in env.service.log()


def test_a_name_that_climbs_out_of_the_apps_folder_starts_nothing(env):
    # The appId names the elevated installer's -location below the Apps folder.
    c = env.client
    name = "..\\..\\..\\windows\\temp\\x"
    code = msi_packages.new_upgrade_code()
    calls = len(stand_in_calls(env.prefix))
    starts = env.service.log().count("Start ")
    assert c.request('installAirApp %s %s "C:\\t\\x.air"' % (name, code), INSTALL_TIMEOUT) == \
        "Success AirAppInstallFailed=" + name
    assert c.request('upgradeAirApp %s %s "C:\\t\\x.air"' % (name, code), INSTALL_TIMEOUT) == \
        "Success AirAppUpgradeFailed=" + name
    assert len(stand_in_calls(env.prefix)) == calls
    assert env.service.log().count("Start ") == starts, "neither the installer nor a worker copy was started"


def test_argument_errors_through_the_port(env):
    c = env.client
    assert c.request("isAirAppInstalled Clock").startswith("SyntaxError Wrong number of arguments - ")
    assert c.request("installAirAppX Clock {x}").startswith("SyntaxError Wrong number of arguments - ")
    assert c.request("startAirApplication Clock") == "Success AirAppIsNotStarted=Clock"
    assert c.request("startAirApplication") == "Success AirAppIsNotStarted="


def test_remove_widget_starts_the_installer_with_the_words_as_given(env):
    c = env.client
    before = len(stand_in_calls(env.prefix))
    # Answered at once; the installer's own outcome is not waited for.
    assert c.request("removeWidget A B") == "Success "
    assert c.request('removeWidget "two words" B') == "Success "
    assert msi_packages.wait_for(lambda: len(stand_in_calls(env.prefix)) >= before + 2, 30)
    assert sorted(stand_in_calls(env.prefix)[before:]) == ["-uninstall A B", "-uninstall two words B"]
    assert c.request('removeWidget "  " B').startswith("SyntaxError RemoveWidget: Argument null or empty. - ")


def test_install_without_adobe_air(env):
    env.prefix.unregister_air_installer()
    try:
        code = msi_packages.new_upgrade_code()
        reply = env.client.request('installAirApp Clock %s "C:\\t\\Clock.air"' % code, INSTALL_TIMEOUT)
        assert reply == "Success AirAppInstallFailed=Clock"
        assert "InstallAirApplication - can not find air installer file." in env.service.log()
        assert env.client.request("removeWidget A B").startswith("Failure ")
    finally:
        env.prefix.register_air_installer(env.stand_in)
