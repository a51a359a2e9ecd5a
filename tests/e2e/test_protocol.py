"""The three ports of the running service, byte for byte, as the dock and its applications see them."""

import re
import time

import pytest

from marlin_e2e import marlin_client

KEY_FILE = re.compile(
    rb'<\?xml version="1\.0" encoding="UTF-8"\?> \r\n'
    rb"<root> \r\n"
    rb"\t<commandPort>(\d+)</commandPort> \r\n"
    rb"\t<pressurePort>(\d+)</pressurePort> \r\n"
    rb"\t<airAppsPort>(\d+)</airAppsPort> \r\n"
    rb"\t<authKey>(\{[0-9A-F]{8}(?:-[0-9A-F]{4}){3}-[0-9A-F]{12}\})</authKey> \r\n"
    rb"</root> \r\n\Z"
)


def test_key_file_handshake_and_command_replies(prefix, service):
    with open(prefix.key_file_path, "rb") as f:
        match = KEY_FILE.match(f.read())
    assert match, "key file not in its fixed format"
    key = service.key
    assert [int(match.group(i)) for i in (1, 2, 3)] == [key.command_port, key.pressure_port, key.apps_port]

    # Refused attempts close the connection without a word.
    for attempt in ("auth " + key.auth_key.lower(), "auth " + key.auth_key + " x", "getCoreVersion"):
        intruder = service.command(authorize=False)
        intruder.send(attempt)
        assert intruder.wait_closed(), attempt

    dock = service.command(authorize=False)
    dock.send_raw(("auth '%s'|getCore" % key.auth_key).encode())
    time.sleep(0.2)
    dock.send_raw(b"Version|")
    assert dock.read_frame() == "authOk"
    assert dock.read_frame() == "CurrentAttachedDevices="
    assert dock.read_frame() == "Success CoreVersion=2.06.0"

    prefix.reg_add(r"HKCU\Control Panel\International\Geo", "Nation", "94")
    assert dock.request("getLocalCountryCode") == "Success LocalCountryCode=DE"
    assert dock.request("createUUID x").startswith("SyntaxError Wrong number of arguments - ")
    assert dock.request(" ").startswith("SyntaxError Unknown command - ")
    assert dock.request("").startswith("SyntaxError No command found. - ")
    # Refused without a log line of its own: the detail is the received text, still one frame.
    reply = dock.request("associateFileTypes")
    assert reply.startswith("SyntaxError Received [%d]: associateFileTypes - " % key.command_port)
    assert dock.request("platform") == "Success WIN32"  # replies still in step

    # A second client cannot authorize while the dock is connected.
    second = service.command(authorize=False)
    second.send("auth " + key.auth_key)
    assert second.wait_closed()

    assert dock.request("exit") == "QuitAcknowledged"
    assert dock.wait_closed()
    with service.command() as again:  # the service goes on, and the next client may authorize
        assert again.request("getCoreVersion") == "Success CoreVersion=2.06.0"


def test_channels_and_the_pressure_stream(service):
    paint, brushes = service.apps(), service.apps()
    assert paint.request("registerChannel paint") == "Success ChannelRegistered=true"
    assert brushes.request("registerChannel brushes") == "Success ChannelRegistered=true"
    assert paint.read_frame() == "BroadcastRegisteredChannel=brushes"

    # UTF-8 in, Latin-1 out; a character cut between two reads arrives whole.
    paint.send_raw("sendDataToChannel brushes 'café \u20ac".encode()[:-2])
    time.sleep(0.2)
    paint.send_raw("sendDataToChannel brushes 'café \u20ac".encode()[-2:] + b"' t1|")
    assert paint.read_frame() == "Success DataSentToChannel=t1"
    assert brushes.read_frame() == "ForwardDataToChannel paint café ?"

    brushes.sock.close()  # the service hears of it through FD_CLOSE
    assert paint.read_frame() == "BroadcastUnRegisteredChannel=brushes"

    stream, watcher = service.pressure(), service.pressure()
    stream.send("startTablet")
    assert stream.read_frame() == ""  # the empty greeting
    watcher.send("stopTablet")  # not the pressure client: nothing changes, no reply
    stream.send("stopTablet")
    stream.send("getCoreVersion")
    assert stream.read_frame().startswith("SyntaxError Unknown command - ")
    with pytest.raises(TimeoutError):
        watcher.read_frame(timeout=0.5)


def test_endless_input_closes_only_that_client(service):
    apps = service.apps()
    assert apps.request("registerChannel steady") == "Success ChannelRegistered=true"
    with service.command() as dock:
        flood = service.apps()
        try:
            flood.send_raw(b"x" * 200000)
        except OSError:
            pass  # the service may close it before it has taken everything
        assert flood.wait_closed()
        assert dock.request("getCoreVersion") == "Success CoreVersion=2.06.0"
        assert apps.request("registerChannel steady") == "Success ChannelRegistered=true"
        assert service.wait_log("Message too long, closing client [%d]" % service.key.apps_port)
    assert service.alive()


def test_client_library_keeps_replies_with_their_commands(prefix, service):
    key = marlin_client.read_key_file(marlin_client.find_key_file(prefix=prefix.path))
    with marlin_client.connect(key) as dock:  # "authOk" read; the device report comes whenever it comes
        assert dock.request("getCoreVersion") == "Success CoreVersion=2.06.0"
        assert dock.request("platform") == "Success WIN32"
        assert dock.device_reports() == ["CurrentAttachedDevices="]
        with pytest.raises(marlin_client.AuthorizationRefused, match="another client holds the command port"):
            marlin_client.connect(key)

    with marlin_client.connect(key, "apps") as paint, marlin_client.connect(key, "apps") as brushes:
        assert paint.register_channel("paint") == "Success ChannelRegistered=true"
        assert brushes.register_channel("brushes") == "Success ChannelRegistered=true"
        # The broadcast of brushes waits in paint's queue; paint's next reply is its own.
        assert paint.send_to_channel("brushes", "wide brush", "t1")
        assert [m.text for m in paint.unsolicited] == ["BroadcastRegisteredChannel=brushes"]
        assert brushes.next_unsolicited().text == "ForwardDataToChannel paint wide brush"

    assert service.stop() == 0
    with pytest.raises(marlin_client.ServiceNotRunning, match="written"):
        marlin_client.connect(key)  # the key file is left from that start
