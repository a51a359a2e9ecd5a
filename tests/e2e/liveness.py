"""Checks that a running service still answers correctly on all three ports.

    assert_serving(service, tag)   the process is alive; a new client of the
        command port authorizes and gets the exact version reply; two new
        apps-port clients register channels and one forwards data to the
        other; a pressure-port client gets the driver version reply. Every
        client is closed again. tag makes the channel names unique.
    drain(client, seconds)         reads and drops what a client has been
        sent until it stays quiet for that long; returns the frames read
    reply_kinds(frames)            the set of first words of the frames
"""
import time

import marlin_e2e

VERSION_REPLY = "Success CoreVersion=2.06.0"
# What a reply frame of the command port may begin with.
COMMAND_REPLY_WORDS = ("Success", "Failure", "SyntaxError", "True", "False", "QuitAcknowledged", "authOk",
                       "CurrentAttachedDevices=")


def assert_serving(service, tag):
    assert service.alive(), "the service has ended; log tail:\n%s" % service.log()[-3000:]

    with service.command() as client:
        assert client.request("getCoreVersion") == VERSION_REPLY

    a = service.apps()
    b = service.apps()
    try:
        name_a, name_b = "live-a-%s" % tag, "live-b-%s" % tag
        assert a.request("registerChannel " + name_a) == "Success ChannelRegistered=true"
        assert _reply_skipping_broadcasts(b, "registerChannel " + name_b) == "Success ChannelRegistered=true"
        assert _reply_skipping_broadcasts(a, "sendDataToChannel %s payload-%s t%s" % (name_b, tag, tag)) == \
            "Success DataSentToChannel=t%s" % tag
        expected = "ForwardDataToChannel %s payload-%s" % (name_a, tag)
        deadline = time.monotonic() + 10
        while True:
            frame = b.read_frame(max(0.1, deadline - time.monotonic()))
            if frame == expected:
                break
            assert frame.startswith("Broadcast"), "unexpected frame on the apps port: %r" % frame[:200]
    finally:
        a.close()
        b.close()

    with service.pressure() as p:
        p.send("getDriverVersion")
        frame = p.read_frame()
        while frame.startswith("PenData."):  # pen events are broadcast to every pressure client
            frame = p.read_frame()
        assert frame.startswith("Success DriverVersion="), frame[:200]


def _reply_skipping_broadcasts(client, text):
    client.send(text)
    while True:
        frame = client.read_frame()
        if not frame.startswith("Broadcast"):
            return frame


def drain(client, seconds=0.3, limit=30.0):
    """Reads until nothing comes for `seconds` (at most `limit` in all); returns the frames."""
    frames = []
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        try:
            frames.append(client.read_frame(seconds))
        except TimeoutError:
            break
        except (marlin_e2e.ConnectionClosed, OSError):
            break
    return frames


def reply_kinds(frames):
    return {f.split(" ", 1)[0] for f in frames}
