"""No command runs on the command port before the right key, and every start has a new key.

The witness is LaunchProbe.exe started through "startProcess": it writes a
file when it runs, so a command that slipped through leaves a trace even if
its reply was never sent.
"""
import os
import re
import socket
import struct
import time

import pytest

import marlin_e2e

GUID = re.compile(r"^\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\}$")


@pytest.fixture(scope="module")
def probe(prefix):
    source = os.path.join(marlin_e2e.bin_dir(), "LaunchProbe.exe")
    target = prefix.linux_path("C:\\probe\\LaunchProbe.exe")
    os.makedirs(os.path.dirname(target), exist_ok=True)
    with open(source, "rb") as f, open(target, "wb") as out:
        out.write(f.read())
    return "C:\\probe\\LaunchProbe.exe"


def probe_command(probe, prefix, name):
    """The startProcess message that makes the probe write C:\\probe\\<name>, and that file's Linux path."""
    return 'startProcess "%s" "started=C:\\probe\\%s"' % (probe, name), prefix.linux_path("C:\\probe\\" + name)


def no_reply_and_closed(client, limit=10.0):
    """True when the service closes the connection without sending a byte."""
    client.sock.settimeout(limit)
    try:
        data = client.sock.recv(65536)
    except socket.timeout:
        return False
    except (ConnectionResetError, ConnectionAbortedError):
        return True
    return data == b""


def test_key_file_is_rewritten_with_a_new_key_at_every_start(prefix):
    keys = []
    for _ in range(3):
        svc = marlin_e2e.Service(prefix)
        key = svc.start()
        try:
            assert GUID.match(key.auth_key), key.auth_key
            ports = (key.command_port, key.pressure_port, key.apps_port)
            assert len(set(ports)) == 3 and all(3400 <= p <= 3655 for p in ports), ports
            for port in ports:
                marlin_e2e.Client(port).close()  # the published ports are live
            assert key.text.count("\r\n") == 7
            keys.append(key.auth_key)
            # The key of an earlier start is refused.
            for old in keys[:-1]:
                with marlin_e2e.Client(key.command_port) as c:
                    c.send("auth " + old)
                    assert no_reply_and_closed(c)
            with svc.command() as c:
                assert c.request("platform") == "Success WIN32"
        finally:
            svc.stop()
    assert len(set(keys)) == len(keys)


def test_no_command_runs_before_the_right_key(prefix, probe):
    svc = marlin_e2e.Service(prefix)
    key = svc.start()
    try:
        k = key.auth_key
        attempts = [
            "",
            "getCoreVersion",
            "auth",
            "auth " + k.lower(),
            "auth " + k[:-1],
            "auth " + k + "x",
            "auth  " + k,                  # two blanks make three words
            "auth " + k + " extra",
            "auth " + k[1:-1],
            "Auth " + k,
            " auth " + k,
            "auth " + k.replace("-", ""),
            "auth '" + k + "' x",
            k,
            "startProcess auth " + k,
            "auth\t" + k,
            "auth " + "\u00e9" * 38,
        ]
        run_files = []
        for i, first in enumerate(attempts):
            command, witness = probe_command(probe, prefix, "run%d.txt" % i)
            run_files.append(witness)
            with marlin_e2e.Client(key.command_port) as c:
                c.send_raw(first.encode("utf-8") + b"|" + command.encode("utf-8") + b"|getCoreVersion|")
                assert no_reply_and_closed(c), "attempt %r was answered" % first
        # A key split over several writes, followed at once by commands, and a NUL that hides the delimiter.
        command, witness = probe_command(probe, prefix, "split.txt")
        run_files.append(witness)
        with marlin_e2e.Client(key.command_port) as c:
            for piece in (b"auth " + k[:10].encode(), b"\x00" + k[10:].encode() + b"|" + command.encode() + b"|",
                          b"|" + command.encode() + b"|"):
                c.send_raw(piece)
                time.sleep(0.2)  # separate reads: a NUL drops the rest of its own read only
            assert no_reply_and_closed(c)

        # The same commands after the right key run: the witness itself works.
        command, witness = probe_command(probe, prefix, "authorized.txt")
        with svc.command() as c:
            assert c.request(command) == "Success "
        assert marlin_e2e._wait_until(lambda: os.path.exists(witness), 20), "the probe never ran"
        time.sleep(1)
        assert [f for f in run_files if os.path.exists(f)] == []
        assert svc.alive()
    finally:
        svc.stop()


def test_authorization_ends_with_its_connection(prefix, probe):
    svc = marlin_e2e.Service(prefix)
    key = svc.start()
    try:
        command, witness = probe_command(probe, prefix, "second.txt")
        # A connection that ends, politely or with a reset, takes its authorization along:
        # the next connection (which may get the same socket handle) must authorize again.
        for i in range(20):
            c = svc.command()
            if i % 2:
                c.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            c.close()
            with marlin_e2e.Client(key.command_port) as intruder:
                intruder.send_raw(("getCoreVersion|%s|" % command).encode())
                assert no_reply_and_closed(intruder)
        with svc.command() as c:
            assert c.request("platform") == "Success WIN32"
        time.sleep(1)
        assert not os.path.exists(witness)
    finally:
        svc.stop()
