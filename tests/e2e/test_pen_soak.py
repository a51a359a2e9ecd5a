"""Soak with the pen: strokes from the stand-in driver stream to the pressure
client while the command port and a second pressure-port client are busy.
The two service threads run at once: every reply must be right, and every
stroke must arrive in order with its last value (the driver's queue may drop
the oldest packets when the service falls behind; that loss is the pen
benchmark's figure, not a fault).
"""
import threading

import liveness
from test_tablet import DOCK_TITLE, dock, prefix, replay, wintabctl  # noqa: F401 (fixtures)

STROKES = 12
PACKETS = 150


def stroke_events(pen):
    """The events of one stroke, up to the pen leaving."""
    got = []
    while not got or got[-1] != ("frame", "PenData.PROXIMITY_OUT"):
        got.append(pen.read_event(20))
    return got


def busy(stop, failures, name, action):
    """Runs action until stop is set; the first failure is kept."""
    count = 0
    try:
        while not stop.is_set():
            action()
            count += 1
    except Exception as e:  # reported by the test, not lost in the thread
        failures.append("%s after %d: %r" % (name, count, e))
    return count


def test_pen_stream_with_command_and_pressure_traffic(prefix, service, dock, tmp_path):
    stop = threading.Event()
    failures = []
    counts = {}

    def commands():
        with service.command() as client:
            def one():
                assert client.request("getCoreVersion", timeout=20) == liveness.VERSION_REPLY
            counts["commands"] = busy(stop, failures, "command port", one)

    def pressure_queries():
        with service.pressure() as client:
            def one():
                client.send("getDriverVersion")
                frame = client.read_frame(20)
                while frame.startswith("PenData."):  # the stroke words reach every pressure client
                    frame = client.read_frame(20)
                assert frame == "Success DriverVersion=none", frame
            counts["pressure"] = busy(stop, failures, "pressure port", one)

    with service.pressure() as pen:
        assert pen.request('listenTablet "%s" unused' % DOCK_TITLE) == "Success "
        assert pen.request("startTablet") == ""
        assert wintabctl(prefix, "wait-context", "10000").returncode == 0

        threads = [threading.Thread(target=commands), threading.Thread(target=pressure_queries)]
        for t in threads:
            t.start()
        try:
            for stroke in range(STROKES):
                # Pressure rises by one at every packet, so each packet changes it.
                base = 1 + stroke * PACKETS
                # A real pen reports a few hundred packets a second: four, then a pause.
                script = "in\n" + "".join("packet 1 0 10800 6750 %d\n%s" % (base + i, "sleep 4\n" if i % 4 == 3 else "")
                                         for i in range(PACKETS)) + "out\n"
                replay(prefix, tmp_path, script)
                got = stroke_events(pen)
                words = [v for kind, v in got if kind == "frame"]
                values = [int(v) for kind, v in got if kind == "token"]
                assert set(words[1:-1]) <= {"PenData.USE_TIP"}, words  # the cursor word when it changes
                assert got[0] == ("frame", "PenData.PROXIMITY_IN") and got[-1] == ("frame", "PenData.PROXIMITY_OUT")
                assert values == sorted(set(values)) and values[-1] == base + PACKETS - 1, \
                    "stroke %d: %r" % (stroke, values[:20])
                assert len(values) >= PACKETS // 2, "stroke %d lost %d packets" % (stroke, PACKETS - len(values))
        finally:
            stop.set()
            for t in threads:
                t.join(60)
    assert not failures, failures
    assert counts.get("commands", 0) > 0 and counts.get("pressure", 0) > 0, counts
    liveness.assert_serving(service, "pen")
