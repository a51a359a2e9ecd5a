"""The developer's tools against the real service: the client library, the console client
and ./marlin serve."""

import base64
import contextlib
import fcntl
import io
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import threading
import time

import pytest

import marlin_e2e
from marlin_e2e import marlin_client as mc

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CLI = os.path.join(ROOT, "tools", "marlin-cli")
DEMO = os.path.join(ROOT, "tools", "demo")


def cli(*args):
    return subprocess.run([sys.executable, CLI] + list(args), stdin=subprocess.DEVNULL, capture_output=True,
                          text=True, timeout=60)


def replies(output):
    return [line for line in output.splitlines() if line.startswith("< ")]


def test_console_client_matches_replies_and_says_what_went_wrong(prefix, service):
    key_file = prefix.key_file_path
    # The device report that follows authOk is never taken for the next reply.
    for _ in range(5):
        result = cli("--key-file", key_file, "getCoreVersion", "platform")
        assert result.returncode == 0, result.stdout + result.stderr
        assert replies(result.stdout) == ["< authOk", "< Success CoreVersion=2.06.0", "< Success WIN32"]
        assert "* CurrentAttachedDevices=" in result.stdout

    # exit ends the client at once; nothing after it is sent.
    result = cli("--key-file", key_file, "exit", "platform")
    assert result.returncode == 0
    assert replies(result.stdout) == ["< authOk", "< QuitAcknowledged"]

    with service.command():
        result = cli("--key-file", key_file, "platform")
        assert result.returncode == 3
        assert "another client holds the command port" in result.stderr

    # A command without a reply does not take the next command's reply; the
    # pressure port prints until Ctrl-C.
    follow = subprocess.Popen([sys.executable, CLI, "--key-file", key_file, "--pressure", "stopTablet",
                               "getDriverVersion"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True)
    try:
        assert select.select([follow.stdout], [], [], 30)[0], "no output from the console client"
        lines = [follow.stdout.readline() for _ in range(3)]  # it flushes whole lines
        assert lines[1].startswith("-- sent; the service sends no reply to stopTablet"), lines
        assert lines[2].startswith("< Success DriverVersion="), lines
    finally:
        follow.send_signal(signal.SIGINT)
        follow.communicate(timeout=30)

    assert service.stop() == 0
    result = cli("--key-file", key_file, "platform")
    assert result.returncode == 4
    assert "the service is not running" in result.stderr and "written" in result.stderr


def test_serve_runs_until_ctrl_c_and_a_second_one_leaves_it_alone(tmp_path):
    # Help is printed before anything is built or started.
    usage = subprocess.run([os.path.join(ROOT, "marlin"), "serve", "--help"], capture_output=True, text=True,
                           timeout=30)
    assert usage.returncode == 0 and usage.stdout.startswith("usage: ./marlin serve")

    prefix = str(tmp_path / "prefix")
    out = tmp_path / "serve.out"
    err = tmp_path / "serve.err"
    env = dict(os.environ)
    env.pop("WINEPREFIX", None)
    with open(out, "wb") as o, open(err, "wb") as e:
        # A session of its own, so the Ctrl-C below reaches its whole group as a terminal's would.
        first = subprocess.Popen([sys.executable, DEMO, "serve", "--prefix", prefix], stdout=o, stderr=e,
                                 stdin=subprocess.DEVNULL, env=env, start_new_session=True)
    try:
        assert marlin_e2e._wait_until(lambda: b"stops it" in out.read_bytes() or first.poll() is not None, 90)
        assert b"stops it" in out.read_bytes(), err.read_text()
        text = out.read_text()
        for line in ("command port", "pressure port", "apps port", "key file", "log"):
            assert "  " + line in text

        second = subprocess.run([sys.executable, DEMO, "serve", "--prefix", prefix], capture_output=True,
                                text=True, timeout=30, env=env)
        assert second.returncode == 1
        assert "already runs in %s" % prefix in second.stderr

        result = cli("--prefix", prefix, "getCoreVersion")
        assert replies(result.stdout)[-1] == "< Success CoreVersion=2.06.0"

        os.killpg(first.pid, signal.SIGINT)
        assert first.wait(60) == 0, err.read_text()
        assert "the service stopped (exit code 0)" in err.read_text()
    finally:
        if first.poll() is None:
            os.killpg(first.pid, signal.SIGKILL)
            first.wait(10)
    with open(prefix + ".lock") as lock:  # released
        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)


# ---------------------------------------------------------------- the client library

def test_client_library_keeps_its_connections_usable(prefix, service):
    key = mc.read_key_file(mc.find_key_file(prefix=prefix.path))
    with mc.connect(key) as dock:
        assert dock.device_reports() == ["CurrentAttachedDevices="]  # the report that follows authOk

    with mc.connect(key, "pressure") as pen, mc.connect(key, "pressure") as other:
        # A command the service never answers takes no reply from the commands after it.
        assert pen.request("stopTablet") is None
        for i in range(10):
            if i % 2:
                assert pen.request("getDriverVersion").startswith("Success DriverVersion=")
            else:
                assert pen.request("bogus").startswith("SyntaxError Unknown command - ")
        # The key keeps the stream; the refusal reaches the caller as the service's reply.
        assert pen.authorize(key.auth_key) == "authOk"
        pen.start_stream()
        with pytest.raises(mc.CommandFailed, match="held by an authorized client"):
            other.start_stream()
        with pytest.raises(mc.AuthorizationRefused, match="the key given"):
            other.authorize("{00000000-0000-0000-0000-000000000000}")

    with mc.connect(key, "apps", authorize=True) as widget:
        # Refused before anything is sent, each with its reason.
        for call, reason in ((lambda: widget.register_channel(""), "cannot be empty"),
                             (lambda: widget.register_channel("\u6f22"), "outside Latin-1"),
                             (lambda: widget.send_to_channel("x", "a", ""), "cannot be empty"),
                             (lambda: widget.send_to_channel("x", "5\u20ac"), "outside Latin-1"),
                             (lambda: widget.send_to_channel("x", "a\nb"), "LF"),
                             (lambda: widget.send_to_channel("x", "a|b"), "'[|]' ends"),
                             (lambda: widget.send_to_channel("x", "a\0b"), "NUL"),
                             (lambda: widget.send_to_channel("x", "it's \"q\""), "both quote kinds")):
            with pytest.raises(mc.DataNotSendable, match=reason):
                call()
        assert widget.register_channel("clock") == "Success ChannelRegistered=true"
        # A tag the reply narrows still tells a forward that succeeded.
        assert widget.send_to_channel("clock", "tick 'tock'", "t\u20ac") is True
        assert widget.next_unsolicited().text == "ForwardDataToChannel clock tick 'tock'"
        assert widget.send_to_channel("nobody", "tick") is False


def test_a_16_MiB_forward_arrives_through_the_library_in_time(prefix, service):
    key = mc.read_key_file(mc.find_key_file(prefix=prefix.path))
    data = base64.b64encode(os.urandom(12 * 1024 * 1024 - 1024)).decode("ascii")  # any bytes as one word
    with mc.connect(key, "apps") as dock, mc.connect(key, "apps", timeout=60) as widget:
        assert dock.register_channel("dock") == "Success ChannelRegistered=true"
        assert widget.register_channel("widget") == "Success ChannelRegistered=true"
        assert dock.next_unsolicited().text == "BroadcastRegisteredChannel=widget"
        sent = []
        sender = threading.Thread(target=lambda: sent.append(widget.send_to_channel("dock", data, "big")))
        sender.start()
        started = time.monotonic()
        forward = dock.next_unsolicited()  # within the connection's default timeout
        print("16 MiB forward read in %.2f s" % (time.monotonic() - started))
        sender.join(60)
    assert sent == [True]
    assert forward.text == "ForwardDataToChannel widget " + data


def test_the_readme_library_example_prints_what_it_says(prefix, service):
    readme = open(os.path.join(ROOT, "README.md"), encoding="utf-8").read()
    code = readme[readme.index("```python\n", readme.index("### The client library")) + 10:]
    code = code[:code.index("```")]
    # Each print's comment is what it prints; comment lines right below it, the lines after.
    expected, printing = [], False
    for line in code.splitlines():
        statement, _, comment = line.partition("# ")
        if "print(" in statement and comment:
            expected.append(comment.strip())
            printing = True
        elif printing and not statement.strip() and comment:
            expected.append(comment.strip())
        else:
            printing = False
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        exec(code.replace('prefix="build/demo-prefix"', "prefix=%r" % prefix.path), {})
    assert printed.getvalue().splitlines() == expected


# The stand-in tablet driver and test dock of the pen suite, for a driver that
# reports a negative pressure.
DOCK_TITLE = "Marlin Tools Dock"


@pytest.fixture(scope="module")
def pen_prefix():
    with marlin_e2e.WinePrefix() as p:
        shutil.copy2(os.path.join(marlin_e2e.bin_dir(), "tablet-driver", "wintab32.dll"),
                     marlin_e2e.service_system_dir(p))
        p.env["WINEDLLOVERRIDES"] = "mscoree,mshtml=;wintab32=n,b"
        yield p


def test_negative_pressure_is_a_pen_event_of_its_own(pen_prefix, tmp_path):
    driver = os.path.join(marlin_e2e.bin_dir(), "tablet-driver")
    ready = tmp_path / "dock-ready.txt"
    dock = pen_prefix.start([os.path.join(driver, "testdock.exe"), DOCK_TITLE, pen_prefix.windows_path(str(ready))],
                            str(tmp_path / "dock.out"), str(tmp_path / "dock.err"))
    service = marlin_e2e.Service(pen_prefix)
    try:
        assert marlin_e2e._wait_until(ready.exists, 30), "the test dock did not start"
        service.start()
        with mc.connect(service.key, "pressure") as pen:
            assert pen.listen_tablet(DOCK_TITLE) == "Success "
            pen.start_stream()
            run = [os.path.join(driver, "wintabctl.exe")]
            assert pen_prefix.run(run + ["wait-context", "10000"]).returncode == 0
            stroke = tmp_path / "stroke.txt"
            stroke.write_text("in\npacket 1 0 10800 6750 -300\n")  # the driver's value wraps to -300
            assert pen_prefix.run(run + ["replay", pen_prefix.windows_path(str(stroke))]).returncode == 0
            events = pen.events(timeout=10)
            assert mc.Pressure(-300) in [next(events) for _ in range(3)]  # with the proximity and cursor words
            assert pen.driver_version().startswith("Success DriverVersion=")  # nothing glued to it
    finally:
        service.stop()
        pen_prefix.send_message("ApolloRuntimeContentWindow", 0x10, post=True)  # WM_CLOSE
        try:
            dock.wait(15)
        except Exception:
            dock.kill()


# ---------------------------------------------------------------- the reference against the service

REFERENCE = os.path.join(ROOT, "docs", "protocol.md")
REPLY_WORDS = ("Success", "Failure", "SyntaxError", "True", "False", "QuitAcknowledged", "authOk",
               "CurrentAttachedDevices=", "BroadcastRegisteredChannel=", "BroadcastUnRegisteredChannel=",
               "ForwardDataToChannel", "PenData.")
PLACEHOLDERS = ("APPID", "NAME", "TAG", "PATH", "GUID", "CC", "SENDER", "DATA", "PORT")
# Quoted replies this tour cannot bring about, and the suite that does.
NOT_IN_THE_TOUR = {
    "needs an installed AIR widget (test_air_apps.py)": [
        "Success AirAppUninstallFailed=APPID", "Success AirAppInstallStarted=APPID",
        "Success AirAppInstallFailed=APPID", "Success AirAppUpgradeStarted=APPID",
        "Success AirAppUpgradeFailed=APPID", "Success AirAppIsInstalled=APPID", "Success AirAppIsStarted=APPID"],
    "needs an installed package or an installer run (test_native_apps.py)": [
        "Success NativeAppInstallStarted=APPID", "Success NativeAppInstallFailed=APPID",
        "Success NativeAppUninstallFailed=APPID", "Success NativeAppUpgradeStarted=APPID",
        "Success NativeAppIsInstalled=APPID", "Success NativeAppInstallStateUnknown=APPID",
        "Success NativeAppIsStarted=APPID", "Success NativeAppIsNotStopped=APPID",
        "Success NativeAppIsRunning=APPID"],
    "the user under Wine is always an administrator": [
        "Success UserCanAdministerAirApps=false", "Success UserCanPerformDockUpdate=false",
        "Success UserCanAdministerNativeApps=false"],
    "needs a tablet and the stand-in dock (test_tablet.py)": [
        "PenData.PROXIMITY_IN", "PenData.PROXIMITY_OUT", "PenData.USE_TIP", "PenData.USE_ERASER",
        "PenData.USE_UNKNOWN_CURSOR", "PenData.*"],
}


def quoted_replies(reference):
    """Every reply text the reference quotes, as a pattern: code spans that begin with a reply
    word (a span followed by ' +' is the start of a reply), and the '< ' lines of its transcripts
    (a reply runs to the line that ends with '|')."""
    quoted, block, reply = {}, False, None
    for line in reference.splitlines():
        if line.startswith("```"):
            block = not block
        elif block and (reply is not None or line.startswith("< ")):
            reply = line[2:] if reply is None else reply + "\n" + line
            if line.rstrip().endswith("|"):
                quoted[reply.rstrip()[:-1]] = False
                reply = None
        elif not block:
            for match in re.finditer(r"`([^`]+)`( \+)?", line):
                if match.group(1).startswith(REPLY_WORDS):
                    quoted[match.group(1)] = quoted.get(match.group(1), False) or bool(match.group(2))
    patterns = {}
    for text, partial in quoted.items():
        pattern = re.escape(text).replace(re.escape("..."), ".*")
        for word in PLACEHOLDERS:
            pattern = re.sub(r"\b%s\b" % word, ".*", pattern)
        patterns[text] = re.compile(pattern + (".*" if partial else ""), re.S)
    return patterns


def test_every_reply_the_reference_quotes_is_one_the_service_gives(prefix, service):
    seen = set()
    key, code = service.key, "{00000000-1111-2222-3333-444444444444}"

    def connection(kind, authorize=None):
        conn = mc.connect(key, kind, timeout=60, authorize=authorize)
        seen.update(m.text for m in conn.unsolicited)
        conn.on_unsolicited = lambda message: seen.add(message.text)
        return conn

    def ask(conn, *messages):
        for message in messages:
            seen.add(conn.request(message))

    common = prefix.linux_path("C:\\ProgramData\\Orvex")
    os.makedirs(os.path.join(common, "drift"), exist_ok=True)
    open(os.path.join(common, "drift.txt"), "w").close()
    with connection("command") as dock:
        seen.add("authOk")
        ask(dock, "dockUpdateFinished", "userCanAdministerAirApps", "userCanPerformDockUpdate", "getCommonUserDir",
            "getCoreVersion", "checkExists C:\\windows", "createUUID", "platform", "getLocalCountryCode",
            "createUUID extra", "bogus", "", "fixFilePermissions C:\\ProgramData\\Orvex\\drift.txt",
            "fixDirectoryPermissions C:\\ProgramData\\Orvex\\drift", "setAsStartup", "removeAsStartup",
            "removeAsStartup", "associateFileTypes drift", "unassociateFileTypes drift",
            "isAirAppInstalled drift " + code, "startAirApplication drift " + code, "uninstallAirApp drift " + code,
            "isNativeAppInstalled drift " + code, "upgradeNativeApp drift %s C:\\none.msi drift" % code,
            "uninstallNativeApp drift " + code, "startNativeApplication drift %s x drift.exe" % code,
            "stopNativeApplication drift x drift.exe", "isNativeAppRunning drift x drift.exe",
            "userCanAdministerNativeApps")
        dock.send_raw(b"checkExists C:\\none|fixFilePermissions C:\\elsewhere\\x|")
        seen.update(dock.read_frame() for _ in range(2))
        dock.send_raw(b"x" * (1024 * 1024 + 1) + b"|")
        ask(dock, "exit")
        seen.add(dock.read_frame())

    library = os.path.join(marlin_e2e.service_system_dir(prefix), "Stylus_Pad.dll")
    with connection("pressure") as pen, connection("pressure") as other:
        ask(pen, "getDriverVersion", "listenTablet onlyTitle", 'listenTablet "No Such Dock" x',
            'stopListenTablet "No Such Dock" x', "bogus")
        shutil.copy2(os.path.join(marlin_e2e.bin_dir(), "tablet-driver", "Stylus_Pad.dll"), library)
        try:
            ask(pen, "getDriverVersion")
        finally:
            os.remove(library)
        seen.add(pen.authorize(key.auth_key))
        ask(other, "auth {00000000-0000-0000-0000-000000000000}")
        ask(pen, "startTablet")
        ask(other, "startTablet", 'listenTablet "No Such Dock" x')
        pen.send("stopTablet")

    with connection("apps", True) as clock, connection("apps", True) as weather, connection("apps") as stranger:
        ask(clock, "registerChannel clock")
        ask(weather, "registerChannel weather", "registerChannel clock", "sendDataToChannel clock", "other")
        ask(stranger, "registerChannel 'a b'", "sendDataToChannel clock x t")
        ask(weather, "sendDataToChannel clock eyJrIjoidnwifQ== t1", "sendDataToChannel nobody x t")
        weather.close()
        assert marlin_e2e._wait_until(lambda: clock.pump(0.1) >= 0 and "BroadcastUnRegisteredChannel=weather" in seen,
                                      10)
        stranger.send_raw(b"x" * (16 * 1024 * 1024 + 1) + b"|")
        seen.add(stranger.read_frame())

    seen = {text.replace("\r\n", "\n") for text in seen}
    patterns = quoted_replies(open(REFERENCE, encoding="utf-8").read())
    exempt = {text for texts in NOT_IN_THE_TOUR.values() for text in texts}
    assert exempt <= set(patterns), "no longer quoted: %s" % sorted(exempt - set(patterns))
    unmatched = [text for text, pattern in patterns.items()
                 if text not in exempt and not any(pattern.fullmatch(reply) for reply in seen)]
    assert not unmatched, "quoted in docs/protocol.md, never given by the service:\n%s\n\nreplies seen:\n%s" % (
        "\n".join(unmatched), "\n".join(sorted(seen)))
