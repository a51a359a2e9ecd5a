"""Application channels on the apps port, as dock widgets use them."""

import random
import threading

import pytest


def expect_nothing(client, timeout=0.5):
    with pytest.raises(TimeoutError):
        client.read_frame(timeout)


def test_registration_forwarding_and_departure_are_told_to_the_others(service):
    alpha, beta, stranger = service.apps(), service.apps(), service.apps()
    assert alpha.request("registerChannel alpha") == "Success ChannelRegistered=true"
    assert beta.request("registerChannel beta") == "Success ChannelRegistered=true"
    assert alpha.read_frame() == "BroadcastRegisteredChannel=beta"
    expect_nothing(beta)  # the registering client itself is not told

    # Quoted data keeps its blank and loses its quotes on the way.
    assert beta.request('sendDataToChannel alpha "hello world" t1') == "Success DataSentToChannel=t1"
    assert alpha.read_frame() == "ForwardDataToChannel beta hello world"

    # Unknown target, unregistered sender: an error reply with the tag, nothing forwarded.
    assert beta.request("sendDataToChannel nobody x t2") == "Success DataSentToChannelError=t2"
    assert stranger.request("sendDataToChannel alpha x t3") == "Success DataSentToChannelError=t3"
    expect_nothing(alpha)

    # Registering again replaces the name; the others hear only of the new one.
    assert beta.request("registerChannel gamma") == "Success ChannelRegistered=true"
    assert alpha.read_frame() == "BroadcastRegisteredChannel=gamma"
    assert alpha.request("sendDataToChannel beta x t4") == "Success DataSentToChannelError=t4"

    # A client without a channel leaves quietly; one with a channel is announced.
    stranger.close()
    expect_nothing(alpha)
    beta.close()
    assert alpha.read_frame() == "BroadcastUnRegisteredChannel=gamma"
    assert service.wait_log("CommandHandler::FreeChannel gamma")
    assert alpha.request("sendDataToChannel gamma x t5") == "Success DataSentToChannelError=t5"


def test_channel_texts_go_out_in_latin_1(service):
    alpha, beta = service.apps(), service.apps()
    assert alpha.request("registerChannel alpha") == "Success ChannelRegistered=true"
    assert beta.request("registerChannel caf\u00e9") == "Success ChannelRegistered=true"
    assert alpha.read_frame() == "BroadcastRegisteredChannel=caf\u00e9"  # one byte E9
    assert beta.request("sendDataToChannel alpha 5\u20ac t1") == "Success DataSentToChannel=t1"
    assert alpha.read_frame() == "ForwardDataToChannel caf\u00e9 5?"


def test_wrong_word_counts_are_syntax_errors(service):
    with service.apps() as client:
        assert client.request("registerChannel").startswith("SyntaxError Wrong number of arguments")
        assert client.request("registerChannel a b").startswith("SyntaxError Wrong number of arguments")
        assert client.request("sendDataToChannel a b").startswith("SyntaxError Wrong number of arguments")
        assert client.request("").startswith("SyntaxError No command found.")
        # Other words are accepted and answered with whatever the reply holds.
        assert client.request("somethingElse").startswith("Success")


def test_exit_on_the_command_port_leaves_channels_alone(service):
    alpha, beta = service.apps(), service.apps()
    alpha.request("registerChannel alpha")
    beta.request("registerChannel beta")
    assert alpha.read_frame() == "BroadcastRegisteredChannel=beta"
    with service.command() as dock:
        assert dock.request("exit") == "QuitAcknowledged"
        assert dock.wait_closed(5)
    assert beta.request("sendDataToChannel alpha ping t") == "Success DataSentToChannel=t"
    assert alpha.read_frame() == "ForwardDataToChannel beta ping"
    expect_nothing(alpha)


def test_held_or_blank_holding_names_are_refused(service):
    clock, impostor = service.apps(), service.apps()
    assert clock.request("registerChannel clock") == "Success ChannelRegistered=true"
    # Refusals are syntax errors; a client without the key hears the same for a
    # held name as for a malformed one, so it cannot probe which names are held.
    refused = ("SyntaxError registerChannel - a channel name must be 1 to 256 Latin-1 characters without a blank "
               "or a control character, and not held by another client - ")
    assert impostor.request("registerChannel clock").startswith(refused)
    assert impostor.request('registerChannel "weather sunny-and-25C"').startswith(refused)
    assert impostor.request("registerChannel \u6f22").startswith(refused)  # announced as '?', unaddressable
    expect_nothing(clock)  # nothing was registered, so nothing is announced
    # The data for clock still reaches the real clock.
    assert impostor.request("registerChannel weather") == "Success ChannelRegistered=true"
    assert clock.read_frame() == "BroadcastRegisteredChannel=weather"
    assert impostor.request("sendDataToChannel clock tick t1") == "Success DataSentToChannel=t1"
    assert clock.read_frame() == "ForwardDataToChannel weather tick"


def test_a_widget_with_the_key_takes_its_name_from_a_squatter(service):
    dock, squatter, clock = service.apps(), service.apps(), service.apps()
    assert dock.request("registerChannel dock") == "Success ChannelRegistered=true"
    assert squatter.request("registerChannel clock") == "Success ChannelRegistered=true"
    assert dock.read_frame() == "BroadcastRegisteredChannel=clock"
    assert clock.request("auth " + service.key.auth_key) == "authOk"
    assert clock.request("registerChannel clock") == "Success ChannelRegistered=true"
    assert dock.read_frame() == "BroadcastRegisteredChannel=clock"
    assert dock.request("sendDataToChannel clock tick t1") == "Success DataSentToChannel=t1"
    assert clock.read_frame() == "ForwardDataToChannel dock tick"
    # The squatter has no channel left and cannot take the name back.
    assert squatter.request("sendDataToChannel dock forged t2") == "Success DataSentToChannelError=t2"
    assert squatter.request("registerChannel clock").startswith("SyntaxError registerChannel - a channel name must be ")
    expect_nothing(dock)
    expect_nothing(squatter)


def test_long_data_arrives_whole_and_too_long_data_is_refused_with_the_channel_kept(service):
    alpha, beta = service.apps(), service.apps()
    assert alpha.request("registerChannel alpha") == "Success ChannelRegistered=true"
    assert beta.request("registerChannel beta") == "Success ChannelRegistered=true"
    assert alpha.read_frame() == "BroadcastRegisteredChannel=beta"

    rng = random.Random(13)
    data = "".join(rng.choice("abcdefghijklmnopqrstuvwxyz0123456789") for _ in range(2 << 20))
    beta.send("sendDataToChannel alpha %s t1" % data)
    assert beta.read_frame(60) == "Success DataSentToChannel=t1"
    assert alpha.read_frame(60) == "ForwardDataToChannel beta " + data

    beta.send_raw(b"sendDataToChannel alpha " + b"y" * (16 << 20) + b" t2|")
    assert beta.read_frame(120).startswith("Failure Message too long, the limit is 16777216 bytes - ")
    assert beta.request("sendDataToChannel alpha ok t3") == "Success DataSentToChannel=t3"
    assert alpha.read_frame() == "ForwardDataToChannel beta ok"
    expect_nothing(alpha)


def test_a_registration_flood_does_not_stall_the_dock(service):
    owners = [service.apps() for _ in range(200)]
    for i, owner in enumerate(owners):
        assert owner.request("registerChannel owner%d" % i) == "Success ChannelRegistered=true"
    dock = service.command()
    flood = service.apps()
    stop = threading.Event()

    def run_flood():
        flood.sock.settimeout(1)
        while not stop.is_set():
            try:
                flood.sock.sendall(b"registerChannel x|" * 455)
                flood.sock.recv(1 << 20)
            except OSError:
                pass

    flooder = threading.Thread(target=run_flood, daemon=True)
    flooder.start()
    try:
        for _ in range(5):
            assert dock.request("getCoreVersion") == "Success CoreVersion=2.06.0"
    finally:
        stop.set()
        flooder.join(10)
    for owner in owners:
        owner.close()
    flood.close()


def test_parked_strangers_cannot_make_a_widgets_long_forward_fail(service):
    # Eleven clients without the key register a channel, shrink their receive
    # buffers and never read; another fills each with 1 MiB forwards until it
    # is refused. A widget's forward up to the port's limit must still reach
    # a receiver that reads: strangers get a small share of the output, and
    # the cap closes those that leave theirs unread before an upload.
    import socket
    parked = []
    for i in range(11):
        s = socket.socket()
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        s.connect(("127.0.0.1", service.key.apps_port))
        s.sendall(b"registerChannel park%d|" % i)
        parked.append(s)
    filler = service.apps(timeout=30)
    assert filler.request("registerChannel filler") == "Success ChannelRegistered=true"
    chunk = "f" * (1 << 20)
    refused = 0
    for i in range(11):
        for n in range(12):
            reply = filler.request("sendDataToChannel park%d %s t%d_%d" % (i, chunk, i, n))
            if reply.startswith("Success DataSentToChannelError="):
                refused += 1
                break
    assert refused == 11
    sender, receiver = service.apps(timeout=120), service.apps(timeout=120)
    assert sender.request("registerChannel sender") == "Success ChannelRegistered=true"
    assert receiver.request("registerChannel receiver") == "Success ChannelRegistered=true"
    assert sender.read_frame() == "BroadcastRegisteredChannel=receiver"
    data = b"d" * ((16 << 20) - 64)
    reader, received = receiver.read_raw_frames_in_background(1, 120)
    sender.send_raw(b"sendDataToChannel receiver " + data + b" big|")
    assert sender.read_frame(120) == "Success DataSentToChannel=big"
    reader.join(120)
    assert bytes(received) == b"ForwardDataToChannel sender " + data + b"|"
    for s in parked:
        s.close()
    for c in (filler, sender, receiver):
        c.close()
