"""A posted-message flood on a fresh service: three same-desktop programs
(bench_message_flood.exe) each post 100 000 WM_USER messages to the sockets
listener window "MarlinSocksHookQ", whose thread also takes the dock's socket
events. The dock's command round trip while they post and until the queue
has drained, beside the quiet one measured just before.
"""
import os
import threading
import time

import benchlib
from bench_70_hostile_load import dock_client, dock_probe

POSTERS = 3
MESSAGES = 100000
DRAIN_S = 2.0  # the probe goes on this long after the posters end


def probe_while(ctx, svc, start_programs, dock=None):
    """The dock's round trips (or those of the given client), quiet and then
    while the programs that start_programs() starts run and for DRAIN_S after
    they end."""
    dock = dock or dock_client(svc)
    quiet = benchlib.summary_us(benchlib.round_trips(dock, "getCoreVersion", ctx.count(2000)))
    stop, samples, failures = threading.Event(), [], []
    probe = threading.Thread(target=dock_probe, args=(dock, stop, samples, failures, 0.01))
    probe.start()
    t0 = time.monotonic()
    codes = [p.wait(600) for p in start_programs()]
    posting = time.monotonic() - t0
    time.sleep(DRAIN_S)
    stop.set()
    probe.join(70)
    after = benchlib.summary_us(benchlib.round_trips(dock, "getCoreVersion", 50))
    dock.close()
    loaded = benchlib.summary_us(samples) if samples else {"median_us": float("inf"), "p99_us": None, "n": 0}
    worst = max(samples) * 1e6 if samples else float("inf")
    return {"quiet": quiet, "loaded": loaded, "worst": worst, "failures": failures, "codes": codes,
            "posting": posting, "after": after}


def run(ctx):
    svc = benchlib.start_service(ctx)
    messages = ctx.count(MESSAGES)
    exe = os.path.join(ctx.bin_dir, "bench_message_flood.exe")
    work = os.path.dirname(svc.prefix.path)
    try:
        m = probe_while(ctx, svc, lambda: [
            svc.prefix.start([exe, "MarlinSocksHookQ", str(messages)], os.path.join(work, "flood%d.out" % i),
                             os.path.join(work, "flood%d.err" % i)) for i in range(POSTERS)])
    finally:
        alive = svc.alive()
        svc.stop()
    quiet, loaded, worst = m["quiet"], m["loaded"], m["worst"]
    return [
        ctx.row("dock round trip while %d programs post %d WM_USER each to the sockets window" % (POSTERS, messages),
                loaded["median_us"], "us median", baseline=quiet["median_us"],
                ratio=benchlib.ratio(loaded["median_us"], quiet["median_us"]), target="(reported)",
                ok=alive and not m["failures"] and all(c == 0 for c in m["codes"]),
                extra={"p99_us": loaded["p99_us"], "max_us": worst, "n": loaded["n"], "quiet_p99_us": quiet["p99_us"],
                       "posting_s": m["posting"], "poster_exit_codes": m["codes"], "failures": m["failures"],
                       "median_us_after": m["after"]["median_us"]}),
        ctx.row("  its slowest round trip", worst, "us", baseline=quiet["median_us"],
                ratio=benchlib.ratio(worst, quiet["median_us"])),
    ]
