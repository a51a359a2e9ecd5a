"""Forged socket events on a fresh service: a same-desktop program
(tests/fixtures/hostile, hostile.exe post-events) posts 100 000 apps-port
events (0x4002, FD_READ) naming sockets no server has to the sockets listener
window. Each costs the service a counter; the dock's command round trip
while they are posted and drained, beside the quiet one measured just before.
Target: the median within 10 times the quiet one; the slowest is reported
(a reply queued behind tens of thousands of them waits for each to be taken
from the queue).
"""
import os

import benchlib
from bench_90_message_flood import probe_while

MESSAGES = 100000
TARGET = 10.0


def run(ctx):
    svc = benchlib.start_service(ctx)
    messages = ctx.count(MESSAGES)
    exe = os.path.join(ctx.bin_dir, "hostile.exe")
    work = os.path.dirname(svc.prefix.path)
    try:
        m = probe_while(ctx, svc, lambda: [
            svc.prefix.start([exe, "post-events", "MarlinSocksHookQ", str(0x4002), str(messages)],
                             os.path.join(work, "forged.out"), os.path.join(work, "forged.err"))])
    finally:
        alive = svc.alive()
        svc.stop()
    quiet, loaded, worst = m["quiet"], m["loaded"], m["worst"]
    r = benchlib.ratio(loaded["median_us"], quiet["median_us"])
    return [
        ctx.row("dock round trip while a program posts %d forged socket events" % messages, loaded["median_us"],
                "us median", baseline=quiet["median_us"], ratio=r, target="<= %.0fx" % TARGET,
                ok=alive and not m["failures"] and m["codes"] == [0] and r <= TARGET,
                extra={"p99_us": loaded["p99_us"], "max_us": worst, "n": loaded["n"], "failures": m["failures"]}),
        ctx.row("  its slowest round trip", worst, "us", baseline=quiet["median_us"],
                ratio=benchlib.ratio(worst, quiet["median_us"])),
    ]
