"""The three ports of the running service, byte for byte, as the dock and its applications see them."""

import re
import socket
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


def test_unfinished_messages_on_the_apps_port_stay_under_the_service_cap(service):
    # The apps port takes no key and long messages: clients each holding a
    # large unfinished message push the service past its buffer cap, and the
    # largest holders are closed while the others and the dock are served.
    steady = service.apps()
    assert steady.request("registerChannel steady") == "Success ChannelRegistered=true"
    rss_before = service.rss_kib()
    with service.command() as dock:
        chunk = b"x" * (1 << 20)
        holders = []
        for _ in range(12):
            holder = service.apps()
            holders.append(holder)
            try:
                for _ in range(7):
                    holder.send_raw(chunk)
            except OSError:
                pass  # closed as the largest holder
        # Told by the connection, not the log: a megabyte of input per logged
        # read soon passes the log's size cap, which empties the file.
        assert any(holder.wait_closed(0.5) for holder in holders), "no holder was closed"
        assert dock.request("getCoreVersion") == "Success CoreVersion=2.06.0"
        assert steady.request("registerChannel steady") == "Success ChannelRegistered=true"
        growth = service.rss_kib() - rss_before
        assert growth < 160 * 1024, "resident size grew by %d KiB" % growth
        for holder in holders:
            holder.close()
    assert service.alive()


def test_a_reader_that_takes_one_byte_at_a_time_gets_only_whole_frames(service):
    # A small receive window makes the service's writes take part of what
    # waits; the rest must follow later, whole and in order.
    count = 40000
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    sock.connect(("127.0.0.1", service.key.command_port))
    sock.settimeout(20)
    try:
        sock.sendall(("auth %s|" % service.key.auth_key).encode() + b"getCoreVersion|" * count)
        data = bytearray()
        frames = 0
        while frames < count + 2:
            byte = sock.recv(1)
            assert byte, "connection closed after %d frames" % frames
            data += byte
            frames += byte == b"|"
    finally:
        sock.close()
    replies = bytes(data).split(b"|")[:-1]
    assert replies[:2] == [b"authOk", b"CurrentAttachedDevices="]
    assert set(replies[2:]) == {b"Success CoreVersion=2.06.0"}


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


def test_a_reading_channel_owner_gets_a_long_forward_and_the_one_after_it(service):
    # The long frame at the head of the dock's queue does not count against
    # its bound: the small forward right behind it is taken too, and the dock
    # keeps its connection.
    dock, widget = service.apps(), service.apps()
    assert dock.request("registerChannel dock") == "Success ChannelRegistered=true"
    assert widget.request("registerChannel widget") == "Success ChannelRegistered=true"
    assert dock.read_frame() == "BroadcastRegisteredChannel=widget"
    reader, received = dock.read_raw_frames_in_background(2, 60)
    big = b"x" * (8 << 20)
    widget.send_raw(b"sendDataToChannel dock " + big + b" big|")
    assert widget.read_frame(60) == "Success DataSentToChannel=big"
    assert widget.request("sendDataToChannel dock small small") == "Success DataSentToChannel=small"
    reader.join(60)
    assert bytes(received) == b"ForwardDataToChannel widget " + big + b"|ForwardDataToChannel widget small|"


def test_the_apps_port_takes_the_key_optionally_and_never_logs_it(service):
    key = service.key.auth_key
    with service.apps() as plain, service.apps() as keyed:
        assert plain.request("registerChannel plain") == "Success ChannelRegistered=true"  # no key: as ever
        assert keyed.request("auth wrong").startswith("Failure Authorization failed! - ")
        keyed.send_raw(b"au")
        time.sleep(0.2)  # the key in two reads: masked all the same
        keyed.send_raw(("th %s|" % key).encode())
        assert keyed.read_frame() == "authOk"
        assert keyed.request("registerChannel keyed") == "Success ChannelRegistered=true"
    assert service.wait_log("Received [%d]: auth *" % service.key.apps_port)
    assert key[1:9] not in service.log()
