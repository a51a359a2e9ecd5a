"""Fuzzing every port of the running service with seeded hostile input.

Each batch sends a few hundred mutated or random messages (built from the
ports' command words, quotes, blanks, '|', CR/LF, invalid UTF-8, NUL bytes and
long words, written in random pieces), and after every batch the service must
still be alive and answer correctly on all three ports (liveness.py).

MARLIN_FUZZ_SEED replays a run; MARLIN_FUZZ_SCALE multiplies the batch counts.
"""
import os
import socket
import time

import pytest

import liveness
import marlin_e2e
from message_fuzzer import (ACTING_COMMAND_WORDS, APPS_WORDS, COMMAND_WORDS, MESSAGE_LIMIT, PRESSURE_WORDS,
                            QUICK_COMMAND_WORDS, MessageFuzzer, runs_something)

SEED = int(os.environ.get("MARLIN_FUZZ_SEED", "7100"))
SCALE = float(os.environ.get("MARLIN_FUZZ_SCALE", "1"))


def batches(n):
    return max(1, int(n * SCALE))


@pytest.fixture(scope="module")
def running(prefix):
    svc = marlin_e2e.Service(prefix)
    svc.start()
    yield svc
    assert svc.alive(), "the service ended during the fuzz run"
    svc.stop()


def send_in_pieces(client, fuzzer, data):
    for piece in fuzzer.chunks(data):
        client.send_raw(piece)


def received_bytes(client, quiet=0.2, limit=5.0):
    """Everything the service sends until it stays quiet or closes; (bytes, closed)."""
    data = b""
    deadline = time.monotonic() + limit
    client.sock.settimeout(quiet)
    while time.monotonic() < deadline:
        try:
            chunk = client.sock.recv(65536)
        except socket.timeout:
            return data, False
        except (ConnectionResetError, ConnectionAbortedError):
            return data, True
        if not chunk:
            return data, True
        data += chunk
    return data, False


def read_replies(client, count):
    """The next `count` reply frames (the device report that follows "authOk" is skipped)."""
    frames = []
    while len(frames) < count:
        frame = client.read_frame(20)
        if not frame.startswith("CurrentAttachedDevices="):
            frames.append(frame)
    return frames


def test_unauthorized_input_gets_no_reply_and_runs_nothing(running):
    fuzzer = MessageFuzzer(SEED, COMMAND_WORDS)
    for batch in range(batches(20)):
        for _ in range(15):
            client = marlin_e2e.Client(running.key.command_port)
            try:
                data = b"|".join(fuzzer.message() for _ in range(fuzzer.rng.randint(1, 20))) + b"|"
                send_in_pieces(client, fuzzer, data)
                got, _ = received_bytes(client, quiet=0.05)
                assert got == b"", "an unauthorized client got %r for %r" % (got[:200], data[:200])
            except (ConnectionResetError, BrokenPipeError):
                pass  # closed by the service while we were still writing
            finally:
                client.close()
        liveness.assert_serving(running, "u%d" % batch)


def test_authorized_command_port_answers_every_message_once(running):
    fuzzer = MessageFuzzer(SEED + 1, QUICK_COMMAND_WORDS + ["auth", "exi", "updat", "nonsense"])

    def fuzz_bytes(size, accept):
        data = b""
        while len(data) < size:
            m = fuzzer.message()
            if accept(m) and len(m) < MESSAGE_LIMIT // 2 and not runs_something(m, ACTING_COMMAND_WORDS):
                data += m + b"|"
        return data

    for batch in range(batches(25)):
        with running.command() as client:
            messages = []
            while len(messages) < 150:
                m = fuzzer.clean_message()
                if not runs_something(m, ACTING_COMMAND_WORDS):
                    messages.append(m)
            send_in_pieces(client, fuzzer, b"".join(m + b"|" for m in messages))
            for m, frame in zip(messages, read_replies(client, len(messages))):
                assert frame.startswith(liveness.COMMAND_REPLY_WORDS[:5]), "reply to %r is %r" % (m[:200], frame[:200])
            assert client.request("getCoreVersion") == liveness.VERSION_REPLY

            # Invalid UTF-8, stray delimiters and line ends, cut at any byte: every
            # delimiter still ends exactly one message, so each gets one reply.
            dirty = fuzz_bytes(20000, lambda m: b"\x00" not in m)
            send_in_pieces(client, fuzzer, dirty)
            for frame in read_replies(client, dirty.count(b"|")):
                assert frame.startswith(liveness.COMMAND_REPLY_WORDS[:5]), frame[:200]
            assert client.request("getCoreVersion") == liveness.VERSION_REPLY

            if batch % 5 == 4:  # a quit in the middle of a batch drops the rest and ends the connection
                client.send_raw(b"platform|exit|startProcess nothing|platform|")
                assert client.read_frame() == "Success WIN32"
                assert client.read_frame() == "QuitAcknowledged"
                assert client.wait_closed(10)

        # A NUL byte ends the text of its read, so what follows it in that read
        # is dropped: the number of replies cannot be told, only their form.
        with running.command() as client:
            send_in_pieces(client, fuzzer, fuzz_bytes(5000, lambda m: True) + b"\x00|" + b"|")
            for frame in liveness.drain(client, 0.3):
                assert frame.startswith(liveness.COMMAND_REPLY_WORDS), frame[:200]
        liveness.assert_serving(running, "a%d" % batch)


def test_pressure_port_fuzz(running):
    fuzzer = MessageFuzzer(SEED + 2, PRESSURE_WORDS)
    for batch in range(batches(20)):
        clients = [running.pressure() for _ in range(3)]
        try:
            for _ in range(4):
                for client in clients:
                    data = b"|".join(fuzzer.message() for _ in range(fuzzer.rng.randint(5, 40))) + b"|"
                    try:
                        send_in_pieces(client, fuzzer, data)
                    except (ConnectionResetError, BrokenPipeError):
                        pass
            for client in clients:
                for frame in liveness.drain(client, 0.1):
                    assert frame == "" or frame.startswith(("Success", "Failure", "SyntaxError", "PenData.")), \
                        frame[:200]
        finally:
            for client in clients:
                client.close()
        liveness.assert_serving(running, "p%d" % batch)


def test_apps_port_fuzz(running):
    fuzzer = MessageFuzzer(SEED + 3, APPS_WORDS)
    names = ["n%d" % i for i in range(6)]
    for batch in range(batches(20)):
        clients = [running.apps() for _ in range(4)]
        try:
            for i, client in enumerate(clients):
                client.send("registerChannel %s" % names[i])
            for _ in range(4):
                for client in clients:
                    parts = []
                    for _ in range(fuzzer.rng.randint(5, 40)):
                        if fuzzer.rng.random() < 0.3:
                            parts.append(("sendDataToChannel %s %s t" % (
                                fuzzer.rng.choice(names), fuzzer.rng.choice(["d", "'a b'", "\u00e9\u20ac"]))).encode())
                        else:
                            parts.append(fuzzer.message())
                    try:
                        send_in_pieces(client, fuzzer, b"|".join(parts) + b"|")
                    except (ConnectionResetError, BrokenPipeError):
                        pass
            for client in clients:
                for frame in liveness.drain(client, 0.1):
                    # A fuzzed name may be held by another client or hold a control character: refused.
                    assert frame.startswith(("Success", "SyntaxError", "Failure registerChannel - ",
                                             "BroadcastRegisteredChannel=",
                                             "BroadcastUnRegisteredChannel=", "ForwardDataToChannel ")), frame[:200]
        finally:
            for client in clients:
                client.close()
        liveness.assert_serving(running, "c%d" % batch)
