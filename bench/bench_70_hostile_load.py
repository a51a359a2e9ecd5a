"""The service under hostile load, each figure on a fresh service:

- fairness: the dock's command round trip while another client floods the apps
  port with registrations, 200 channels registered (each registration is
  announced to every other channel), beside the same round trip when quiet;
- unauthorized flood: connections to the command port that each send 1 MiB
  without a delimiter and never authorize; the service's resident growth
  (peak, sampled while they send) and the dock's client answered after;
- an apps-port client (the command port takes one authorized client: the
  dock) that pipelines 1 000 000 registrations and never reads: the
  service's peak resident growth beside its per-client output bound, and the
  dock's round trips meanwhile on the same thread (every one answered).
"""
import multiprocessing
import selectors
import socket
import threading
import time

import benchlib
from bench_40_channels import Drainer, register

CHANNELS = 200
FAIRNESS_TARGET = 10.0  # loaded median within this times the quiet one
UNAUTHORIZED_GROWTH_LIMIT_KIB = 32 * 1024
# The service's bound on one client's unsent output (its choice, a few MiB);
# the never-reading client may grow the service by that, plus what it has
# read and not yet answered (one read's worth).
OUTPUT_BOUND_KIB = 4 * 1024
OUTPUT_SLACK_KIB = 1024
DOCK_TIMEOUT_S = 60  # a round trip slower than this counts as unanswered


class PeakRss:
    """Samples the service's resident size in a thread until stopped."""

    def __init__(self, svc, period=0.05):
        self.svc = svc
        self.peak = svc.rss_kib()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, args=(period,), daemon=True)
        self._thread.start()

    def _run(self, period):
        while not self._stop.wait(period):
            try:
                self.peak = max(self.peak, self.svc.rss_kib())
            except OSError:  # the process ended
                return

    def stop(self):
        self._stop.set()
        self._thread.join()
        return self.peak


def dock_client(svc):
    client = benchlib.authorized_client(svc.key)
    client.sock.settimeout(DOCK_TIMEOUT_S)
    benchlib.round_trips(client, "getCoreVersion", 50)
    return client


def dock_probe(dock, stop, samples, failures, period=0.02):
    """Round trips of the dock until stop is set; a timeout or a closed
    connection ends the probe as a failure."""
    while not stop.is_set():
        try:
            samples.extend(benchlib.round_trips(dock, "getCoreVersion", 1))
        except (OSError, ConnectionError) as e:
            failures.append(repr(e))
            return
        stop.wait(period)


def flood_and_drain(flooder, listeners, payload, stop):
    """In a process of its own: floods registrations and reads every listener.
    In the probing process these threads would hold the interpreter's lock for
    whole switch intervals (5 ms) and the dock's probe would measure that."""
    drain = Drainer(listeners + [flooder])
    flooder.sock.settimeout(None)  # the service reads at the pace its output leaves

    def flood():
        try:
            while not stop.is_set():
                flooder.sock.sendall(payload)
        except OSError:
            pass

    writer = threading.Thread(target=flood, daemon=True)
    writer.start()
    stop.wait()
    flooder.sock.shutdown(socket.SHUT_RDWR)
    writer.join(10)
    drain.close()


def fairness(ctx):
    svc = benchlib.start_service(ctx)
    try:
        dock = dock_client(svc)
        quiet = benchlib.summary_us(benchlib.round_trips(dock, "getCoreVersion", ctx.count(2000)))
        listeners = [benchlib.Framed(svc.key.apps_port) for _ in range(CHANNELS)]
        for i, c in enumerate(listeners):
            register(c, "listener-%d" % i)
        flooder = benchlib.Framed(svc.key.apps_port)
        register(flooder, "flood")
        drain = Drainer(listeners)
        # What one registration costs with every other channel told: a read
        # event of the flood holds hundreds of them.
        one = benchlib.summary_us([benchlib.round_trips(flooder, "registerChannel flood", 1)[0] for _ in range(50)])
        drain.close()
        payload = b"registerChannel flood|" * 20000
        forked = multiprocessing.get_context("fork")
        stop = forked.Event()
        flooding = forked.Process(target=flood_and_drain, args=(flooder, listeners, payload, stop), daemon=True)
        flooding.start()
        time.sleep(0.5)  # the flood is under way
        samples, failures = [], []
        probe = threading.Thread(target=dock_probe, args=(dock, stop, samples, failures))
        probe.start()
        deadline = time.monotonic() + (10 if ctx.quick else 30)
        while time.monotonic() < deadline and probe.is_alive() and len(samples) < ctx.count(2000):
            time.sleep(0.1)
        stop.set()
        probe.join(DOCK_TIMEOUT_S + 5)
        flooding.join(30)
        for c in listeners + [flooder, dock]:
            c.close()
    finally:
        svc.stop()
    loaded = benchlib.summary_us(samples) if samples else {"median_us": float("inf"), "p99_us": float("inf"), "n": 0}
    r = benchlib.ratio(loaded["median_us"], quiet["median_us"])
    return [
        ctx.row("dock round trip while an apps client floods registrations (%d channels)" % CHANNELS,
                loaded["median_us"], "us median", baseline=quiet["median_us"], ratio=r,
                target="<= %.0fx quiet" % FAIRNESS_TARGET, ok=not failures and r <= FAIRNESS_TARGET,
                extra={"p99_us": loaded["p99_us"], "max_us": max(samples) * 1e6 if samples else None,
                       "one_registration_told_to_200_us": one["median_us"],
                       "n": loaded["n"], "quiet_p99_us": quiet["p99_us"], "failures": failures}),
    ]


def flood_unauthorized(port, connections, per_connection, seconds):
    """Connections that each send per_connection bytes without a delimiter and
    never authorize; returns the bytes sent, the connections the service
    closed, those that could not connect, and the sockets (left open)."""
    sel = selectors.DefaultSelector()
    sent = {}
    refused = 0
    for _ in range(connections):
        s = socket.socket()
        s.setblocking(False)
        if s.connect_ex(("127.0.0.1", port)) not in (0, 115):  # EINPROGRESS
            refused += 1
            s.close()
            continue
        sent[s] = 0
        sel.register(s, selectors.EVENT_WRITE)
    chunk = b"x" * 65536
    closed = 0
    deadline = time.monotonic() + seconds
    active = len(sent)
    while active and time.monotonic() < deadline:
        for key, _ in sel.select(0.5):
            s = key.fileobj
            try:
                sent[s] += s.send(chunk[:per_connection - sent[s]])
            except BlockingIOError:
                continue
            except OSError:
                closed += 1
                sel.unregister(s)
                active -= 1
                continue
            if sent[s] >= per_connection:
                sel.unregister(s)
                active -= 1
    total = sum(sent.values())
    return total, closed, refused, list(sent)


def unauthorized_flood(ctx):
    svc = benchlib.start_service(ctx)
    connections = ctx.count(1000)
    try:
        dock = dock_client(svc)
        time.sleep(1)
        rss0 = svc.rss_kib()
        peak = PeakRss(svc)
        total, closed, refused, socks = flood_unauthorized(svc.key.command_port, connections, 1 << 20,
                                                           10 if ctx.quick else 90)
        time.sleep(1)  # what was sent last is read
        rss_peak = peak.stop()
        answered = benchlib.round_trips(dock, "getCoreVersion", 10)
        for s in socks:
            s.close()
    finally:
        alive = svc.alive()
        svc.stop()
    growth = rss_peak - rss0
    return [
        ctx.row("resident growth, %d unauthorized connections sending 1 MiB each" % connections, growth, "KiB peak",
                target="< %d KiB" % UNAUTHORIZED_GROWTH_LIMIT_KIB,
                ok=alive and growth < UNAUTHORIZED_GROWTH_LIMIT_KIB,
                extra={"rss_before_kib": rss0, "sent_mib": total / 2 ** 20, "closed_by_service": closed,
                       "not_connected": refused, "alive": alive,
                       "dock_median_us_after": benchlib.summary_us(answered)["median_us"]}),
    ]


def never_reading(ctx):
    svc = benchlib.start_service(ctx)
    commands = 1000000
    try:
        dock = dock_client(svc)
        hog = benchlib.Framed(svc.key.apps_port)
        time.sleep(1)
        rss0 = svc.rss_kib()
        peak = PeakRss(svc)
        stop = threading.Event()
        samples, failures = [], []
        probe = threading.Thread(target=dock_probe, args=(dock, stop, samples, failures, 0.05))
        probe.start()
        outcome = {}

        def write():
            try:
                hog.sock.settimeout(None)
                hog.sock.sendall(b"registerChannel hog|" * commands)
                outcome["wrote"] = "all"
            except OSError as e:
                outcome["wrote"] = repr(e)

        writer = threading.Thread(target=write, daemon=True)
        t0 = time.monotonic()
        writer.start()
        writer.join(15 if ctx.quick else 120)
        outcome.setdefault("wrote", "still writing")
        time.sleep(1)
        seconds = time.monotonic() - t0
        stop.set()
        probe.join(DOCK_TIMEOUT_S + 5)
        rss_peak = peak.stop()
        hog.close()
    finally:
        alive = svc.alive()
        svc.stop()
    growth = rss_peak - rss0
    limit = OUTPUT_BOUND_KIB + OUTPUT_SLACK_KIB
    dock = benchlib.summary_us(samples) if samples else {"median_us": None, "p99_us": None, "n": 0}
    return [
        ctx.row("resident growth, an apps client pipelining %d commands and never reading" % commands, growth, "KiB peak",
                target="<= %d KiB (output bound + one read)" % limit, ok=alive and growth <= limit,
                extra={"rss_before_kib": rss0, "writer": outcome["wrote"], "seconds": seconds, "alive": alive}),
        ctx.row("dock round trips meanwhile", dock["median_us"], "us median", target="all answered",
                ok=not failures and dock["n"] > 0,
                extra={"p99_us": dock["p99_us"], "max_us": max(samples) * 1e6 if samples else None, "n": dock["n"],
                       "failures": failures}),
    ]


def run(ctx):
    return benchlib.run_figures(ctx, (fairness, unauthorized_flood, never_reading))
