"""Forged socket events on a fresh service: a same-desktop program
(tests/fixtures/hostile, hostile.exe post-events) posts 100 000 apps-port
events (0x4002, FD_READ) naming sockets no server has to the sockets listener
window. Each costs the service a counter; the dock's command round trip
while they are posted and drained, beside the quiet one measured just before.
Target: the median within 10 times the quiet one.

The slowest round trip is a reply queued behind tens of thousands of them,
which waits for each to be taken from the thread's queue. Its floor is what
the runtime's queue costs a server that does nothing with them: the same
flood posted to baseline (a), which drops events for sockets it never
accepted, in the same prefix, and that echo's slowest round trip.
"""
import os

import benchlib
from bench_70_hostile_load import DOCK_TIMEOUT_S
from bench_90_message_flood import probe_while

MESSAGES = 100000
TARGET = 10.0
ECHO_SOCKET_MESSAGE = 0x8001  # WM_APP + 1, the echo's socket events


def flood(svc, exe, work, window_class, message, count, name):
    return lambda: [svc.prefix.start([exe, "post-events", window_class, str(message), str(count)],
                                     os.path.join(work, name + ".out"), os.path.join(work, name + ".err"))]


def run(ctx):
    svc = benchlib.start_service(ctx)
    messages = ctx.count(MESSAGES)
    exe = os.path.join(ctx.bin_dir, "hostile.exe")
    work = os.path.dirname(svc.prefix.path)
    echo = benchlib.WineEcho(ctx, prefix=svc.prefix.path)
    try:
        m = probe_while(ctx, svc, flood(svc, exe, work, "MarlinSocksHookQ", 0x4002, messages, "forged"))
        echo_client = benchlib.Framed(echo.port, timeout=DOCK_TIMEOUT_S)
        floor = probe_while(ctx, svc, flood(svc, exe, work, "MarlinBenchEcho", ECHO_SOCKET_MESSAGE, messages,
                                            "forged-echo"), dock=echo_client)
    finally:
        alive = svc.alive()
        echo.close()
        svc.stop()
    quiet, loaded, worst = m["quiet"], m["loaded"], m["worst"]
    r = benchlib.ratio(loaded["median_us"], quiet["median_us"])
    return [
        ctx.row("dock round trip while a program posts %d forged socket events" % messages, loaded["median_us"],
                "us median", baseline=quiet["median_us"], ratio=r, target="<= %.0fx" % TARGET,
                ok=alive and not m["failures"] and m["codes"] == [0] and r <= TARGET,
                extra={"p99_us": loaded["p99_us"], "max_us": worst, "n": loaded["n"], "failures": m["failures"],
                       "posting_s": m["posting"]}),
        ctx.row("  its slowest round trip", worst, "us", baseline=floor["worst"],
                ratio=benchlib.ratio(worst, floor["worst"]), target="(reported; baseline: the echo's slowest)"),
        ctx.row("  baseline (a) under the same flood: its median round trip", floor["loaded"]["median_us"], "us",
                baseline=floor["quiet"]["median_us"],
                ratio=benchlib.ratio(floor["loaded"]["median_us"], floor["quiet"]["median_us"]),
                extra={"p99_us": floor["loaded"]["p99_us"], "max_us": floor["worst"], "n": floor["loaded"]["n"],
                       "failures": floor["failures"], "posting_s": floor["posting"]}),
    ]
