"""Bad input on every port: the service keeps serving its authorized client, nothing crashes,
memory stays bounded."""

import random
import socket
import threading
import time

import marlin_e2e

PORTS = ("command", "pressure", "apps")
FLOOD = 10000  # empty messages per port


def connect(service, port):
    return {"command": lambda: service.command(authorize=False), "pressure": service.pressure,
            "apps": service.apps}[port]()


def still_serving(service, dock):
    assert service.alive()
    assert dock.request("getCoreVersion") == "Success CoreVersion=2.06.0"


def drain(client, stop):
    """Counts the replies the service sends until stop is set or the connection ends."""
    count = [0]

    def run():
        client.sock.settimeout(0.2)
        pending = b""
        while not stop.is_set():
            try:
                data = client.sock.recv(1 << 16)
            except OSError:
                continue
            if not data:
                return
            *frames, pending = (pending + data).split(b"|")
            count[0] += sum(1 for f in frames if not f.startswith(b"CurrentAttachedDevices="))

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    return thread, count


def test_garbage_on_every_port_leaves_the_authorized_client_served(service):
    rng = random.Random(4)
    dock = service.command()
    rss_before = service.rss_kib()

    for port in PORTS:
        # Random bytes with delimiters, invalid UTF-8, NUL bytes, lone surrogates
        # in UTF-8 form, CR/LF and quotes, each on a fresh connection.
        payloads = [bytes(rng.randrange(256) for _ in range(4096)) + b"|",
                    b"\xff\xfe\xc0\xaf\xed\xa0\x80 registerChannel \xe9|",
                    b"\x00\x00|\x00getCoreVersion|",
                    b"'\"unterminated quote|\r\n|\"\"''|  |",
                    b"auth|auth {}|" + b"\x80" * 1000 + b"|"]
        for payload in payloads:
            client = connect(service, port)
            client.send_raw(payload)
            client.close()
        still_serving(service, dock)

    # Half a UTF-8 character at the end of one write, the rest in the next.
    apps = service.apps()
    apps.send_raw(b"registerChannel caf\xc3")
    time.sleep(0.3)  # read as a read of its own; a message is logged only once it is complete
    apps.send_raw(b"\xa9|")
    assert apps.read_frame() == "Success ChannelRegistered=true"
    assert service.wait_log("Received [%d]: registerChannel caf\u00e9" % service.key.apps_port)

    assert service.rss_kib() - rss_before < 16 * 1024
    still_serving(service, dock)


def test_very_long_messages_are_refused_and_their_senders_stay(service):
    dock = service.command()
    # Before authorizing, one short line at most: a megabyte closes the stranger.
    stranger = connect(service, "command")
    try:
        stranger.send_raw(b"x" * (1 << 20))
    except OSError:
        pass  # the service may close it while we are still writing
    assert stranger.wait_closed(20)
    assert service.wait_log("Unauthorized input too long, closing client [%d]" % service.key.command_port)
    still_serving(service, dock)

    # Past the limit: a failure naming it, the rest skipped to its delimiter, the client stays.
    pressure = connect(service, "pressure")
    pressure.send_raw(b"x" * ((1 << 20) + 1) + b"|stopTablet|getCoreVersion|")
    # A failure in the form every failure has: the detail, " - " and the runtime's error text.
    assert pressure.read_frame(30).startswith("Failure Message too long, the limit is 1048576 bytes - ")
    assert pressure.read_frame().startswith("SyntaxError Unknown command - ")
    assert dock.request("getCoreVersion " + "a" * ((1 << 20) - 15)) == "Success CoreVersion=2.06.0"
    assert dock.request("getCoreVersion " + "a" * (1 << 20)).startswith(
        "Failure Message too long, the limit is 1048576 bytes - ")

    # Long but framed: handled like any other message.
    with service.apps() as apps:
        assert apps.request("sendDataToChannel nobody " + "n" * 60000 + " t") == "Success DataSentToChannelError=t"
    still_serving(service, dock)


def test_a_flood_of_strangers_on_the_command_port_stays_bounded(service):
    # Connections that never authorize, each holding what it may: the oldest
    # make room for new ones, late ones are closed, the dock is served.
    dock = service.command()
    rss_before = service.rss_kib()
    strangers = []
    try:
        for _ in range(700):  # past the waiting bound and the per-port bound
            stranger = socket.create_connection(("127.0.0.1", service.key.command_port), timeout=10)
            try:
                stranger.sendall(b"x" * 1000)
            except OSError:
                pass
            strangers.append(stranger)
        still_serving(service, dock)
        assert service.wait_log("Too many connections waiting to authorize, closing the oldest [%d]" %
                                service.key.command_port)
        assert service.wait_log("No authorization in time, closing client [%d]" % service.key.command_port)
        strangers[-1].settimeout(15)
        assert strangers[-1].recv(1) == b"", "a late stranger is closed"
        assert service.rss_kib() - rss_before < 32 * 1024
    finally:
        for stranger in strangers:
            stranger.close()
    still_serving(service, dock)


def test_floods_of_empty_messages_on_every_port(service):
    dock = service.command()
    rss_before = service.rss_kib()
    for port in PORTS:
        if port == "command":
            dock.close()  # authorization goes to the flooding client
            assert service.wait_log("Unexpected connection lost")
            client = service.command()
        else:
            client = connect(service, port)
        stop = threading.Event()
        reader, replies = drain(client, stop)
        try:
            client.send_raw(b"|" * FLOOD)
        except OSError:
            pass
        marlin_e2e._wait_until(lambda: replies[0] >= FLOOD or not reader.is_alive(), 60)
        stop.set()
        reader.join(5)
        client.close()
        assert replies[0] == FLOOD, port  # every empty message answered, nothing dropped
        if port == "command":
            assert service.wait_log("Unexpected connection lost", count=2)
            dock = service.command()
        still_serving(service, dock)
    assert service.rss_kib() - rss_before < 16 * 1024


def test_only_the_key_holder_is_served_on_the_command_port(service):
    log_marker = "Authorization failed!"

    # Commands before authorization: closed without a reply.
    intruder = service.command(authorize=False)
    intruder.send("getCoreVersion")
    assert intruder.wait_closed(5)
    # Wrong key, key in lower case, the key with a third word.
    for attempt in ("auth {00000000-0000-0000-0000-000000000000}", "auth " + service.key.auth_key.lower(),
                    "auth %s extra" % service.key.auth_key, "auth ''", "auth"):
        intruder = service.command(authorize=False)
        intruder.send(attempt)
        assert intruder.wait_closed(5), attempt

    dock = service.command()
    # A second client with the right key while the dock holds authorization.
    second = service.command(authorize=False)
    second.send("auth " + service.key.auth_key)
    assert second.wait_closed(5)
    assert service.log().count(log_marker) == 7
    still_serving(service, dock)

    # Once the dock leaves, the key works again.
    dock.close()
    assert service.wait_log("Unexpected connection lost")
    with service.command() as again:
        still_serving(service, again)


def test_late_events_of_a_closed_connection_never_reach_the_next_one(service):
    # A client that sends several messages and leaves at once makes the
    # service's replies fail, so the service closes it while events for it
    # still wait; the next client may be given the same socket handle.
    for round_ in range(30):
        for port in ("apps", "pressure"):
            leaving = connect(service, port)
            leaving.send_raw(b"a|b|c|d|e|f|g|h|")
            leaving.close()
            with connect(service, port) as next_client:
                reply = next_client.request("registerChannel n%d" % round_)
                assert reply.startswith("Success" if port == "apps" else "SyntaxError"), (round_, port)


def _slowest_round_trip(dock, stop, out):
    while not stop.is_set():
        started = time.monotonic()
        assert dock.request("getCoreVersion", timeout=30) == "Success CoreVersion=2.06.0"
        out.append(time.monotonic() - started)
        time.sleep(0.01)


def test_a_long_authorization_attempt_from_a_stranger_costs_neither_memory_nor_time(service):
    # "auth", 16 MiB of blanks and a word from two clients without the key is
    # refused by its first bytes: it is never decoded into UTF-16 or split
    # into words, which took hundreds of MiB and seconds of the main thread.
    with service.command() as dock:
        quiet = []
        stop = threading.Event()
        for _ in range(20):
            started = time.monotonic()
            assert dock.request("getCoreVersion") == "Success CoreVersion=2.06.0"
            quiet.append(time.monotonic() - started)
        rss_before = service.rss_kib()
        peak = [rss_before]

        def sample():
            while not stop.is_set():
                peak[0] = max(peak[0], service.rss_kib())
                time.sleep(0.005)
        loaded = []
        watchers = [threading.Thread(target=_slowest_round_trip, args=(dock, stop, loaded), daemon=True),
                    threading.Thread(target=sample, daemon=True)]
        for watcher in watchers:
            watcher.start()
        attempt = b"auth" + b" " * ((16 << 20) - 16) + b"x|"
        attackers = [service.apps(timeout=60) for _ in range(2)]
        senders = [threading.Thread(target=a.send_raw, args=(attempt,), daemon=True) for a in attackers]
        for sender in senders:
            sender.start()
        replies = [a.read_frame(60) for a in attackers]
        time.sleep(0.5)
        stop.set()
        for watcher in watchers:
            watcher.join(30)
        for a in attackers:
            a.close()
        peak = peak[0]
    print("long key attempts: peak resident growth %d KiB; dock's slowest round trip %.3f s (quiet %.3f s)"
          % (peak - rss_before, max(loaded or [0]), max(quiet)))
    assert all(r.startswith("Failure Authorization failed! - ") for r in replies), replies
    # Two 16 MiB messages on their way in are counted in the cap (64 MiB);
    # a UTF-16 copy and a word list of each would be hundreds of MiB more.
    assert peak - rss_before < 128 * 1024, "resident size grew by %d KiB" % (peak - rss_before)
    still_serving(service, service.command())
