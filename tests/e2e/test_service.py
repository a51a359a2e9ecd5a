"""The service's life as the dock sees it: start, replies on every port, connections that end, shutdown."""

import json
import os
import re
import subprocess
import sys
import time

import pytest

import marlin_e2e

HERE = os.path.dirname(os.path.abspath(__file__))


def test_answers_an_authorized_client_and_closes_cleanly_on_wm_close(service):
    key = service.key
    assert len({key.command_port, key.pressure_port, key.apps_port}) == 3
    assert all(3400 <= p <= 3655 for p in (key.command_port, key.pressure_port, key.apps_port))

    with service.command() as client:
        assert client.request("getCoreVersion") == "Success CoreVersion=2.06.0"
        assert client.request("platform") == "Success WIN32"
        with service.pressure() as pressure:
            assert pressure.request("noSuchTabletCommand").startswith("SyntaxError Unknown command")

        assert service.stop() == 0
        assert client.wait_closed(5)
    log = service.log()
    assert "deinit server [%d]" % key.command_port in log
    assert "deinit server [%d]" % key.pressure_port in log
    # The apps server is left open until the process ends.
    assert "deinit server [%d]" % key.apps_port not in log


def test_exit_closes_only_that_connection(service):
    apps = service.apps()
    assert apps.request("registerChannel watcher") == "Success ChannelRegistered=true"

    first = service.command()
    assert first.request("exitNow") == "QuitAcknowledged"
    assert first.wait_closed(5)
    assert service.wait_log("Connection closed")
    assert service.alive()

    # Authorization was released with the connection; the other port never noticed.
    second = service.command()
    assert second.request("getCoreVersion") == "Success CoreVersion=2.06.0"
    assert apps.request("sendDataToChannel watcher hello t1") == "ForwardDataToChannel watcher hello"
    assert apps.read_frame() == "Success DataSentToChannel=t1"


def test_a_client_that_vanishes_is_cleaned_up_and_the_port_keeps_accepting(service):
    gone = service.command()
    gone.send_raw(b"getCoreVers")  # half a message, then the connection drops
    gone.close()
    assert service.wait_log("Unexpected connection lost")
    assert "Sending pressure stopped" not in service.log()  # no stream of its own to stop

    for _ in range(2):
        with service.command() as client:
            assert client.request("getCoreVersion") == "Success CoreVersion=2.06.0"
    with service.pressure() as pressure:
        pressure.close()
    with service.command() as client:
        assert client.request("platform") == "Success WIN32"


def test_only_the_shutdown_ends_the_tablet_listener(service):
    # WM_CLOSE, WM_QUIT and the service's own close message, from another
    # program, each leave the pressure port serving.
    prefix, tablet = service.prefix, marlin_e2e.TABLET_WINDOW_CLASS
    close_pressure_server = 0x8000 + 0x100  # WM_APP + 0x100
    for message, post in ((marlin_e2e.WM_CLOSE, False), (0x12, True), (close_pressure_server, False),
                          (close_pressure_server, True)):
        assert prefix.send_message(tablet, message, post=post) == 0
        with service.pressure() as pressure:
            assert pressure.request("getDriverVersion").startswith("Success DriverVersion="), hex(message)
    assert service.wait_log("Tablet listener: WM_QUIT ignored, the service is not stopping")
    assert service.log().count("Tablet listener: pressure server close ignored, the service is not stopping") == 2
    with service.command() as client:
        assert client.request("getCoreVersion") == "Success CoreVersion=2.06.0"

    assert service.stop() == 0
    assert "deinit server [%d]" % service.key.pressure_port in service.log()


def test_a_posted_timer_message_runs_no_code(service):
    # A timer message's lParam is called by DispatchMessage; the service sets
    # no timer callback, so one posted with any address runs nothing.
    prefix = service.prefix
    wm_timer, wm_systimer = 0x113, 0x118
    for window in (marlin_e2e.SOCKETS_WINDOW_CLASS, marlin_e2e.TABLET_WINDOW_CLASS):
        assert prefix.send_message(window, wm_timer, 1, "kernel32!ExitProcess", post=True) == 0
        assert prefix.send_message(window, wm_systimer, 60000, "kernel32!Sleep", post=True) == 0
    assert service.wait_log("timer message with a callback address ignored", count=4)
    with service.command() as client, service.pressure() as pressure:
        assert client.request("getCoreVersion") == "Success CoreVersion=2.06.0"
        assert pressure.request("getDriverVersion").startswith("Success DriverVersion=")
    assert service.stop() == 0


def test_other_window_messages_never_reach_the_servers(service):
    # A socket event number on the wrong window, and unknown messages, change nothing.
    prefix = service.prefix
    assert prefix.send_message(marlin_e2e.TABLET_WINDOW_CLASS, 0x4000, 0, 0x20) == 0
    assert prefix.send_message(marlin_e2e.SOCKETS_WINDOW_CLASS, 0x4001, 0, 0x20) == 0
    assert prefix.send_message(marlin_e2e.SOCKETS_WINDOW_CLASS, 0x4003, 0, 0x20) == 0
    assert prefix.send_message(marlin_e2e.SOCKETS_WINDOW_CLASS, 0x4000, 12345, 0x20) == 0
    with service.command() as client:
        assert client.request("getCoreVersion") == "Success CoreVersion=2.06.0"
        assert "Unexpected connection lost" not in service.log()


def test_posted_close_events_close_nothing_that_is_open(service):
    # Any program may post socket events to the listener windows; a close
    # event counts only when the socket really is closed.
    widget = service.apps()
    assert widget.request("registerChannel widget") == "Success ChannelRegistered=true"
    handle = int(re.findall(r"HandleCommandFromSocket socket (\d+)", service.log())[-1])
    fd_close = 0x20
    assert service.prefix.send_message(marlin_e2e.SOCKETS_WINDOW_CLASS, 0x4002, handle, fd_close, post=True) == 0
    assert service.wait_log("Close event for an open connection ignored [%d]" % service.key.apps_port)
    assert widget.request("sendDataToChannel widget still-here t") == "ForwardDataToChannel widget still-here"
    assert widget.read_frame() == "Success DataSentToChannel=t"


def test_without_adobe_air_the_service_writes_the_key_file_and_ends(prefix):
    prefix.unregister_air_installer()
    try:
        service = marlin_e2e.Service(prefix)
        service.start()  # the key file is written before the check
        assert service.wait_exit(15) == 0
        assert "Adobe AIR not installed, exiting!" in service.log()
    finally:
        prefix.register_air_installer(marlin_e2e.DEFAULT_AIR_INSTALLER)


def hostile(prefix, *args):
    return [os.path.join(marlin_e2e.bin_dir(), "hostile.exe")] + [str(a) for a in args]


def test_a_key_file_that_cannot_be_replaced_stops_the_start(prefix, tmp_path):
    # Another program holds the old key file open without write or delete
    # sharing for longer than the service waits: serving ports nobody can
    # learn would only keep the dock out, so the service ends.
    stale = "<root>stale</root> \r\n"
    os.makedirs(os.path.dirname(prefix.key_file_path), exist_ok=True)
    with open(prefix.key_file_path, "w", newline="") as f:
        f.write(stale)
    ready = tmp_path / "held"
    holder = prefix.start(hostile(prefix, "hold", prefix.windows_path(prefix.key_file_path), 16000,
                                  prefix.windows_path(str(ready))), str(tmp_path / "h.out"), str(tmp_path / "h.err"))
    try:
        assert marlin_e2e._wait_until(ready.exists, 30)
        service = marlin_e2e.Service(prefix)
        service.start(wait=False, keep_key_file=True)
        assert service.wait_exit(40) == 0
        log = service.log()
        assert "Unable to replace the key authorization file: " in log
        assert "Key file not written, not starting" in log
        assert "Set events for port" not in log
        with open(prefix.key_file_path, newline="") as f:
            assert f.read() == stale
    finally:
        holder.wait(30)


def test_a_quit_posted_to_the_main_thread_ends_nothing(service):
    # WM_QUIT is no request to stop (WM_CLOSE is): another program posting it
    # to the main thread leaves every port serving, with one log line.
    prefix = service.prefix
    for _ in range(3):
        assert prefix.run(hostile(prefix, "quit-thread", marlin_e2e.SOCKETS_WINDOW_CLASS)).returncode == 0
    with service.command() as client, service.apps() as widget:
        assert client.request("getCoreVersion") == "Success CoreVersion=2.06.0"
        assert widget.request("registerChannel w") == "Success ChannelRegistered=true"
    assert service.log().count("Sockets listener: WM_QUIT ignored, the service is not stopping") == 1
    assert service.alive()
    assert service.stop() == 0


def round_trip_ms(client, count, pause=0):
    times = []
    for _ in range(count):
        start = time.monotonic()
        assert client.request("getCoreVersion") == "Success CoreVersion=2.06.0"
        times.append((time.monotonic() - start) * 1000)
        time.sleep(pause)
    return times


def test_forged_socket_events_cost_a_counter_not_the_log(service, tmp_path, report_figure):
    # 100,000 posted apps-port events (0x4002) naming sockets nobody opened.
    prefix = service.prefix
    with service.command() as dock:
        quiet = round_trip_ms(dock, 20)
        log_before = len(service.log())
        poster = prefix.start(hostile(prefix, "post-events", marlin_e2e.SOCKETS_WINDOW_CLASS, 0x4002, 100000),
                              str(tmp_path / "post.out"), str(tmp_path / "post.err"))
        loaded = []
        while poster.poll() is None:
            loaded += round_trip_ms(dock, 1, 0.01)
        counted = service.wait_log("Socket events for sockets no server knows ignored: 100000", timeout=60)
        loaded += round_trip_ms(dock, 5)
    lines = service.log()[log_before:].splitlines()
    about_them = [line for line in lines if "socket" in line.lower()]
    with open(str(tmp_path / "post.out")) as f:
        posted = f.read().strip()
    report_figure("forged socket events (%s): dock round trip quiet median %.1f ms, slowest %.1f ms; "
                  "while posted and drained median %.1f ms, slowest %.1f ms (%d round trips); "
                  "%d log lines about them" % (posted, sorted(quiet)[len(quiet) // 2], max(quiet),
                                               sorted(loaded)[len(loaded) // 2], max(loaded), len(loaded),
                                               len(about_them)))
    assert counted
    assert len(about_them) == 6, about_them[:10]  # the 1st, 10th, ... 100,000th
    assert service.alive()


def test_an_unknown_command_line_starts_the_service(prefix):
    service = marlin_e2e.Service(prefix, args=["--no-such-mode", "x"])
    service.start()
    try:
        with service.command() as client:
            assert client.request("getCoreVersion") == "Success CoreVersion=2.06.0"
    finally:
        assert service.stop() == 0


def _network_namespace_command():
    """A command prefix that runs a program in a private network namespace, or None."""
    for command in (["unshare", "-n"], ["unshare", "-rn"]):
        try:
            if subprocess.run(command + ["true"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              timeout=10).returncode == 0:
                return command
        except (OSError, subprocess.TimeoutExpired):
            pass
    return None


def test_when_no_port_can_be_opened_start_up_gives_up_cleanly():
    # Every port of the range is taken, so all three listeners fail and
    # compare equal: the re-opening must stop, no key file may appear, and
    # the process must end. Run in a private network namespace so that other
    # services on this machine keep their ports.
    namespace = _network_namespace_command()
    if namespace is None:
        pytest.skip("no private network namespace available (unshare -n / -rn)")
    result = subprocess.run(namespace + [sys.executable, os.path.join(HERE, "ports_exhausted.py")],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300, env=dict(os.environ))
    assert result.returncode == 0, result.stderr.decode("utf-8", "replace")
    outcome = json.loads(result.stdout.decode("utf-8").strip().splitlines()[-1])
    assert outcome["exit_code"] == 0
    assert not outcome["key_file"]
    log = outcome["log"]
    assert 1 <= log.count("Port duplication, retrying...") <= 8
    assert "Unable to open the three listeners, not starting" in log
    assert "Set events for port" not in log
