"""Pen input end to end: the stand-in dock and tablet driver, the hook library
loaded into the dock by the service, pen events on the pressure port.

The stand-in driver (tests/fixtures/wintab) is installed into the prefix's
system folder of the service's width as a tablet driver installs its wintab32.dll,
the only place the service loads it from, and Wine is told
to prefer it to its own. The test dock lives beside a copy of it
(bin/tablet-driver) and loads it only through the hook library.
"""

import ntpath
import os
import shutil
import time

import pytest

import marlin_e2e

DOCK_TITLE = "Marlin Dock Test"
DOCK_CLASS = "ApolloRuntimeContentWindow"
WM_MOUSEMOVE, WM_LBUTTONDOWN, WM_LBUTTONUP = 0x200, 0x201, 0x202
MK_LBUTTON = 0x1
K_SET_CURSOR = 0x8000 + 3  # WM_APP + 3 of the test dock


def driver_dir():
    return os.path.join(marlin_e2e.bin_dir(), "tablet-driver")


@pytest.fixture(scope="module")
def prefix():
    with marlin_e2e.WinePrefix() as p:
        shutil.copy2(os.path.join(driver_dir(), "wintab32.dll"), marlin_e2e.service_system_dir(p))
        p.env["WINEDLLOVERRIDES"] = "mscoree,mshtml=;wintab32=n,b"
        yield p


@pytest.fixture
def dock(prefix, tmp_path):
    ready = tmp_path / "dock-ready.txt"
    proc = prefix.start([os.path.join(driver_dir(), "testdock.exe"), DOCK_TITLE, prefix.windows_path(str(ready))],
                        str(tmp_path / "dock.out"), str(tmp_path / "dock.err"))
    marlin_e2e._wait_until(ready.exists, 30)
    assert ready.exists(), "the test dock did not start"
    yield proc
    prefix.send_message(DOCK_CLASS, 0x10, post=True)  # WM_CLOSE
    try:
        proc.wait(15)
    except Exception:
        proc.kill()


def wintabctl(prefix, *args):
    return prefix.run([os.path.join(driver_dir(), "wintabctl.exe")] + list(args))


def replay(prefix, tmp_path, script):
    path = tmp_path / "stroke.txt"
    path.write_text(script)
    result = wintabctl(prefix, "replay", prefix.windows_path(str(path)))
    assert result.returncode == 0, "no open context took the stroke: %r" % (result.stdout + result.stderr)


def post_to_dock(prefix, message, wparam=0, lparam=0):
    assert prefix.send_message(DOCK_CLASS, message, wparam, lparam, post=True) == 0


def events(client, count, timeout=10):
    """The next count events; fewer when the service falls silent (the comparison then shows what came)."""
    got = []
    try:
        while len(got) < count:
            got.append(client.read_event(timeout))
    except TimeoutError:
        pass
    return got


def nothing_more(client, wait=1.0):
    try:
        extra = client.read_event(wait)
    except TimeoutError:
        return True
    raise AssertionError("unexpected event %r" % (extra,))


def test_a_stroke_reaches_the_pressure_client_and_the_words_every_client(prefix, service, dock, tmp_path):
    # The pointer sits in the middle of the 1280x1024 screen, away from the dock.
    assert prefix.send_message(DOCK_CLASS, K_SET_CURSOR, 640, 512) == 0

    with service.pressure() as pen, service.pressure() as watcher:
        # The title holds a blank: quoted, it is one word.
        assert pen.request('listenTablet "%s" unused' % DOCK_TITLE) == "Success "
        assert pen.request("startTablet") == ""
        assert wintabctl(prefix, "wait-context", "10000").returncode == 0
        assert service.wait_log("DLL: WinTab Context initialization success")

        # The pen comes near and presses at the tablet point that maps to the
        # middle of the screen; the dock then sees a drag move there, which
        # pairs the two points.
        replay(prefix, tmp_path, "in\npacket 1 0 10800 6750 0\npacket 1 0 10800 6750 300\n")
        assert events(pen, 3) == [("frame", "PenData.PROXIMITY_IN"), ("frame", "PenData.USE_TIP"),
                                  ("token", "0300")]
        # Another program's connection coming and going leaves the stream running.
        service.apps().close()
        assert service.wait_log("Unexpected connection lost")
        post_to_dock(prefix, WM_MOUSEMOVE, MK_LBUTTON)
        # To the tablet's bottom-right corner; the pen turns over and leaves.
        replay(prefix, tmp_path, "packet 1 0 21600 0 512\npacket 2 16 21600 0 512\nout\n")
        assert events(pen, 4) == [("token", "0512"), ("token", "m1280_1024"), ("frame", "PenData.USE_ERASER"),
                                  ("frame", "PenData.PROXIMITY_OUT")]
        # A click in the dock, the pen away: button tokens at the pointer.
        post_to_dock(prefix, WM_LBUTTONDOWN, MK_LBUTTON)
        post_to_dock(prefix, WM_LBUTTONUP)
        assert events(pen, 2) == [("token", "d640_512"), ("token", "u640_512")]

        # The other client of the port hears the words, never the values.
        assert events(watcher, 4) == [("frame", "PenData.PROXIMITY_IN"), ("frame", "PenData.USE_TIP"),
                                      ("frame", "PenData.USE_ERASER"), ("frame", "PenData.PROXIMITY_OUT")]
        nothing_more(watcher, 0.5)

        # Stopped: the pen's messages are taken and dropped.
        pen.send("stopTablet")
        assert service.wait_log("Sending pressure stopped")
        replay(prefix, tmp_path, "in\npacket 1 0 100 100 700\n")
        nothing_more(pen)
        # Unhooked: a stream started again hears nothing from the dock.
        assert pen.request('stopListenTablet "%s" unused' % DOCK_TITLE) == "Success "
        assert pen.request("startTablet") == ""
        post_to_dock(prefix, WM_LBUTTONDOWN, MK_LBUTTON)
        nothing_more(pen)
        nothing_more(watcher, 0.1)


def test_wintab_is_loaded_from_the_system_folder_only(prefix, service, dock, tmp_path):
    # A wintab32.dll in the program's folder, first on the search path, is
    # not the driver; the service reads packets only through the system
    # folder's. (Any local program can make the service load WinTab.)
    decoy = prefix.linux_path(ntpath.dirname(service.exe) + "\\wintab32.dll")
    shutil.copy2(os.path.join(marlin_e2e.bin_dir(), "Folderguard.dll"), decoy)
    try:
        with service.pressure() as pen:
            assert pen.request('listenTablet "%s" unused' % DOCK_TITLE) == "Success "
            assert pen.request("startTablet") == ""
            assert wintabctl(prefix, "wait-context", "10000").returncode == 0
            replay(prefix, tmp_path, "in\npacket 1 0 10800 6750 300\nout\n")
            assert events(pen, 4) == [("frame", "PenData.PROXIMITY_IN"), ("token", "0300"),
                                      ("frame", "PenData.USE_TIP"), ("frame", "PenData.PROXIMITY_OUT")]
            assert pen.request('stopListenTablet "%s" unused' % DOCK_TITLE) == "Success "
    finally:
        os.remove(decoy)


def test_driver_version_comes_from_the_driver_library(prefix, service):
    library = os.path.join(marlin_e2e.service_system_dir(prefix), "Stylus_Pad.dll")
    with service.pressure() as client:
        assert client.request("getDriverVersion") == "Success DriverVersion=none"
        shutil.copy2(os.path.join(driver_dir(), "Stylus_Pad.dll"), library)
        try:
            assert client.request("getDriverVersion") == "Success DriverVersion=5.2.5-2"
        finally:
            os.remove(library)


def test_tablet_commands_explain_what_they_cannot_do(service):
    with service.pressure() as client:
        assert client.request("listenTablet onlyTitle").startswith("SyntaxError Wrong number of arguments - ")
        assert client.request('listenTablet "No Such Dock" x').startswith("Failure Unable to find window! - ")
        assert client.request('stopListenTablet "No Such Dock" x').startswith("Failure Unable to find window! - ")
        assert client.request("starttablet").startswith("SyntaxError Unknown command - ")
        assert client.request("").startswith("SyntaxError No command found. - ")
        assert client.request("startTabletNow") == "", "the command word is a prefix"
        client.send("stopTablet")
        assert client.request("getDriverVersion").startswith("Success DriverVersion=")


def test_posted_mouse_and_pen_messages_are_no_pen_input(service):
    # The hook library sends what the dock's thread sees; anything posted to
    # the listener window comes from another program.
    with service.pressure() as pen, service.pressure() as watcher:
        assert pen.request("startTablet") == ""
        for message, wparam, lparam in ((WM_LBUTTONDOWN, MK_LBUTTON, 0), (WM_MOUSEMOVE, MK_LBUTTON, 0),
                                        (WM_LBUTTONUP, 0, 0), (0x7FF5, 0, 1)):  # the last: WT_PROXIMITY, entering
            assert service.prefix.send_message(marlin_e2e.TABLET_WINDOW_CLASS, message, wparam, lparam,
                                               post=True) == 0
        assert service.wait_log("Tablet listener: posted pen message 0x7FF5 ignored")
        nothing_more(pen, 0.5)
        nothing_more(watcher, 0.1)


def test_hooks_belong_to_the_authorized_client_holding_the_stream(service):
    with service.pressure() as holder, service.pressure() as other:
        assert holder.request("auth " + service.key.auth_key) == "authOk"
        assert holder.request("startTablet") == ""
        for command in ('listenTablet "%s" x', 'stopListenTablet "%s" x'):
            assert other.request(command % DOCK_TITLE).startswith(
                "Failure Tablet hooks belong to the authorized client holding the pen stream - ")
        assert holder.request('stopListenTablet "No Such Dock" x').startswith("Failure Unable to find window! - ")


def hostile(*args):
    return [os.path.join(marlin_e2e.bin_dir(), "hostile.exe")] + [str(a) for a in args]


def start_stream(prefix, pen, service):
    assert pen.request("auth " + service.key.auth_key) == "authOk"
    assert pen.request('listenTablet "%s" unused' % DOCK_TITLE) == "Success "
    assert pen.request("startTablet") == ""
    assert wintabctl(prefix, "wait-context", "10000").returncode == 0


STROKE = "in\npacket 1 0 10800 6750 300\nout\n"
STROKE_EVENTS = [("frame", "PenData.PROXIMITY_IN"), ("token", "0300"), ("frame", "PenData.USE_TIP"),
                 ("frame", "PenData.PROXIMITY_OUT")]


def test_pen_input_sent_by_another_program_gives_no_pen_token(prefix, service, dock, tmp_path):
    # Sent, not posted, as the hook library sends: proximity in, a click, a
    # drag move, proximity out. Only the hook library has the session key.
    with service.pressure() as pen, service.pressure() as watcher:
        start_stream(prefix, pen, service)
        assert prefix.run(hostile("forge-pen")).returncode == 0
        assert service.wait_log("Tablet listener: pen messages without the session key ignored: 1")
        nothing_more(pen, 0.5)
        nothing_more(watcher, 0.1)
        replay(prefix, tmp_path, STROKE)
        assert events(pen, 4) == STROKE_EVENTS
        assert pen.request('stopListenTablet "%s" unused' % DOCK_TITLE) == "Success "


def test_a_window_of_the_listener_class_in_another_program_never_gets_the_pen(prefix, service, dock, tmp_path):
    # The impostor asks the dock's hook, every 100 ms, to send the pen to its
    # own "MarlinWTHookQ" window; the stream goes on reaching the pressure client.
    with service.pressure() as pen:
        start_stream(prefix, pen, service)
        impostor = prefix.start(hostile("hijack", DOCK_CLASS, DOCK_TITLE, 4000), str(tmp_path / "imp.out"),
                                str(tmp_path / "imp.err"))
        try:
            time.sleep(1.0)  # several requests made
            replay(prefix, tmp_path, STROKE)
            assert events(pen, 4) == STROKE_EVENTS
        finally:
            assert impostor.wait(30) == 0
        with open(str(tmp_path / "imp.out")) as f:
            assert f.read().strip() == "received=0"
        # Again once it has gone (the same pen end: no cursor word).
        replay(prefix, tmp_path, "in\npacket 1 0 10800 6750 500\nout\n")
        assert events(pen, 3) == [("frame", "PenData.PROXIMITY_IN"), ("token", "0500"),
                                  ("frame", "PenData.PROXIMITY_OUT")]
        assert pen.request('stopListenTablet "%s" unused' % DOCK_TITLE) == "Success "
