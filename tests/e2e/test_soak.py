"""Soak: clients that drop mid-message, clients that never read, and many
connections at once; the service keeps serving and its memory and descriptors
stay bounded. Seeded and bounded in count and time. (Floods of empty messages
are in test_bad_input.py, the pen stream under load in test_pen_soak.py.)
"""
import os
import random
import socket
import struct
import threading
import time

import pytest

import liveness
import marlin_e2e

SEED = int(os.environ.get("MARLIN_FUZZ_SEED", "7100"))
# Loose bound for the whole module: the flood tests move tens of megabytes
# through the service; what stays behind must be small.
RSS_GROWTH_LIMIT_KIB = 8 * 1024


@pytest.fixture(scope="module")
def running(prefix):
    svc = marlin_e2e.Service(prefix)
    svc.start()
    # Settle what the first connections allocate once (buffers, caches) before measuring.
    for i in range(20):
        liveness.assert_serving(svc, "warm%d" % i)
    svc.baseline_rss = svc.rss_kib()
    svc.baseline_fds = svc.open_fds()
    yield svc
    svc.stop()


def reset_close(sock):
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()


def test_connections_dropped_mid_message(running):
    rng = random.Random(SEED)
    ports = [running.key.command_port, running.key.pressure_port, running.key.apps_port]
    for round_ in range(10):
        for _ in range(40):
            sock = socket.create_connection(("127.0.0.1", rng.choice(ports)), timeout=10)
            head = rng.choice([b"auth {", b"getCoreVer", b"registerChannel na", b"startTab", b"\xe2\x82",
                               b"sendDataToChannel x 'unfinished quote"])
            try:
                sock.sendall(head + b"x" * rng.randint(0, 3000))
            except OSError:
                pass
            if rng.random() < 0.5:
                reset_close(sock)
            else:
                sock.close()
        liveness.assert_serving(running, "drop%d" % round_)


def test_many_connections_at_once(running):
    socks = []
    try:
        for i in range(150):
            port = (running.key.pressure_port, running.key.apps_port)[i % 2]
            socks.append(socket.create_connection(("127.0.0.1", port), timeout=10))
        liveness.assert_serving(running, "many")
        for i, s in enumerate(socks):
            s.sendall(b"registerChannel many%d|" % i if i % 2 else b"getDriverVersion|")
        for s in socks:
            s.settimeout(20)
            assert s.recv(65536).startswith((b"Success", b"BroadcastRegisteredChannel="))
    finally:
        for s in socks:
            reset_close(s)
    liveness.assert_serving(running, "many-after")


def _write_until_closed(sock, payload, seconds):
    """Writes payload repeatedly without reading; returns how many bytes went out."""
    sent = 0
    deadline = time.monotonic() + seconds
    sock.settimeout(1)
    while time.monotonic() < deadline:
        try:
            sent += sock.send(payload)
        except socket.timeout:
            continue
        except OSError:
            break
    return sent


def _closed_by_service(sock, seconds=20):
    """Reads what the service had sent until it closes the connection."""
    sock.settimeout(seconds)
    try:
        while sock.recv(1 << 20):
            pass
    except ConnectionResetError:
        pass
    except socket.timeout:
        return False
    return True


def test_client_that_never_reads(running):
    # An authorized client pipelines commands and never reads its replies: the
    # service may give up on it, but must go on serving the other ports meanwhile
    # and the command port once it is gone.
    lazy = running.command()
    result = {}
    writer = threading.Thread(target=lambda: result.setdefault(
        "sent", _write_until_closed(lazy.sock, b"getCoreVersion|" * 2000, 10)))
    writer.start()
    for i in range(10):
        liveness_apps_only(running, "lazy%d" % i)
    writer.join()
    reset_close(lazy.sock)
    assert result["sent"] > 0

    # An apps-port channel owner that never reads, while another client forwards to it.
    sleeper = running.apps()
    sender = running.apps()
    try:
        assert sleeper.request("registerChannel sleeper") == "Success ChannelRegistered=true"
        sender.send("registerChannel sender")
        data = "d" * 4000
        batch = ("sendDataToChannel sleeper %s t|" % data).encode() * 200
        errors = acked = 0
        # The system's socket buffers take megabytes first; at most 32 MB are sent.
        for _ in range(40):
            sender.send_raw(batch)
            for frame in liveness.drain(sender, 0.5, limit=30):
                errors += frame.startswith("Success DataSentToChannelError=")
                acked += frame.startswith("Success DataSentToChannel=t")
            if errors:
                break
        for frame in liveness.drain(sender, 1, limit=30):
            acked += frame.startswith("Success DataSentToChannel=t")
        # Past its bound the forwards are refused and say so; nothing blocks,
        # the sleeper keeps its connection, and every acknowledged forward
        # reaches it whole once it reads.
        assert errors > 0
        frames = [f for f in liveness.drain(sleeper, 2, limit=120) if not f.startswith("Broadcast")]
        assert frames == ["ForwardDataToChannel sender " + data] * acked
    finally:
        sleeper.close()
        sender.close()
    liveness.assert_serving(running, "lazy-after")


def liveness_apps_only(service, tag):
    assert service.alive()
    with service.apps() as a:
        assert a.request("registerChannel only-%s" % tag) == "Success ChannelRegistered=true"


def test_memory_and_descriptors_stay_bounded(running):
    # Runs last in this module: what the soak left behind.
    for i in range(20):
        liveness.assert_serving(running, "end%d" % i)
    time.sleep(1)
    growth = running.rss_kib() - running.baseline_rss
    assert growth < RSS_GROWTH_LIMIT_KIB, "resident size grew by %d KiB" % growth
    fds = running.open_fds()
    assert fds <= running.baseline_fds + 4, "descriptors: %d before, %d after" % (running.baseline_fds, fds)
