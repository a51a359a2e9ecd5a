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
import threading
import time

import benchlib
from bench_70_hostile_load import dock_client, dock_probe

MESSAGES = 100000
DRAIN_S = 2.0
TARGET = 10.0


def run(ctx):
    svc = benchlib.start_service(ctx)
    messages = ctx.count(MESSAGES)
    exe = os.path.join(ctx.bin_dir, "hostile.exe")
    work = os.path.dirname(svc.prefix.path)
    try:
        dock = dock_client(svc)
        quiet = benchlib.summary_us(benchlib.round_trips(dock, "getCoreVersion", ctx.count(2000)))
        stop, samples, failures = threading.Event(), [], []
        probe = threading.Thread(target=dock_probe, args=(dock, stop, samples, failures, 0.01))
        probe.start()
        poster = svc.prefix.start([exe, "post-events", "MarlinSocksHookQ", str(0x4002), str(messages)],
                                  os.path.join(work, "forged.out"), os.path.join(work, "forged.err"))
        code = poster.wait(600)
        time.sleep(DRAIN_S)
        stop.set()
        probe.join(70)
        dock.close()
    finally:
        alive = svc.alive()
        svc.stop()
    loaded = benchlib.summary_us(samples) if samples else {"median_us": float("inf"), "p99_us": None, "n": 0}
    worst = max(samples) * 1e6 if samples else float("inf")
    r = benchlib.ratio(loaded["median_us"], quiet["median_us"])
    return [
        ctx.row("dock round trip while a program posts %d forged socket events" % messages, loaded["median_us"],
                "us median", baseline=quiet["median_us"], ratio=r, target="<= %.0fx" % TARGET,
                ok=alive and not failures and code == 0 and r <= TARGET,
                extra={"p99_us": loaded["p99_us"], "max_us": worst, "n": loaded["n"], "failures": failures}),
        ctx.row("  its slowest round trip", worst, "us", baseline=quiet["median_us"],
                ratio=benchlib.ratio(worst, quiet["median_us"])),
    ]
