"""Large channel forwards, each figure on a fresh service:

- dock kept: the dock's channel reads at 1 MiB/s while a widget forwards
  64 MiB in 1 MiB messages to it. The dock must never be closed, every
  forward acknowledged with "DataSentToChannel=" must arrive whole and in
  order, and every other one must be refused with "DataSentToChannelError="
  (the service bounds what waits for one reader instead of closing it);
- one 16 MiB forward (the apps port's largest message) to a reading channel:
  the dock's command round trip during it beside the quiet one (the
  forward's main-thread time shows there: both run on the main thread), the
  service's CPU time for it, and its peak resident growth beside its size.

All framing is the client library's.
"""
import threading
import time

import benchlib
import marlin_e2e
from bench_70_hostile_load import PeakRss, dock_client, dock_probe

MiB = 1 << 20
KEPT_MESSAGES = 64
KEPT_READ_RATE = 1 * MiB  # bytes per second the dock's channel reads
LARGE = 16 * MiB
LARGE_RTT_TARGET_US = 200000
LARGE_GROWTH_TARGET = 3.0  # peak resident growth within this times the message


def apps_client(svc, name, timeout=120):
    client = marlin_e2e.marlin_client.AppsConnection(svc.key.apps_port, timeout=timeout)
    reply = client.register_channel(name)
    if reply != "Success ChannelRegistered=true":
        raise RuntimeError("registerChannel %s: %r" % (name, reply))
    return client


def forward_frames(reader, stop, frames, failures, rate=None):
    """Reads the channel's forwarded data frames until stop is set; with rate,
    no faster than rate bytes per second on average."""
    t0 = time.monotonic()
    taken = 0
    while not stop.is_set():
        try:
            message = reader.next_unsolicited(0.2)
        except marlin_e2e.marlin_client.ConnectionClosed as e:
            failures.append("dock closed: %r" % e)
            return
        except marlin_e2e.marlin_client.MarlinError:  # nothing yet, or a frame still arriving
            continue
        if not message.text.startswith("ForwardDataToChannel "):
            continue
        frames.append(message.text.split(" ", 2)[2])
        taken += len(message.text) + 1
        if rate:
            pause = t0 + taken / rate - time.monotonic()
            if pause > 0:
                stop.wait(pause)


def dock_kept(ctx):
    svc = benchlib.start_service(ctx)
    count = KEPT_MESSAGES // 16 if ctx.quick else KEPT_MESSAGES
    try:
        dock = apps_client(svc, "bench-dock")
        widget = apps_client(svc, "bench-widget")
        stop = threading.Event()
        frames, failures = [], []
        reader = threading.Thread(target=forward_frames, args=(dock, stop, frames, failures, KEPT_READ_RATE))
        reader.start()
        acknowledged, refused, other = [], [], []
        t0 = time.monotonic()
        for i in range(count):
            data = "%06d" % i + "x" * (MiB - 6)
            try:
                if widget.send_to_channel("bench-dock", data, "m%d" % i):
                    acknowledged.append(i)
                else:
                    refused.append(i)
            except marlin_e2e.marlin_client.MarlinError as e:
                other.append("%d: %r" % (i, e))
                break
        sending = time.monotonic() - t0
        # Everything acknowledged is on its way: the reader takes it at its pace.
        deadline = time.monotonic() + len(acknowledged) * MiB / KEPT_READ_RATE + 30
        while len(frames) < len(acknowledged) and time.monotonic() < deadline and reader.is_alive():
            time.sleep(0.1)
        time.sleep(0.5)  # nothing more may come
        stop.set()
        reader.join(10)
        dock.close()
        widget.close()
    finally:
        svc.stop()
    arrived = [int(f[:6]) for f in frames if len(f) == MiB]
    cut = [f[:6] for f in frames if len(f) != MiB]
    ok = not failures and not other and not cut and arrived == acknowledged and \
        len(acknowledged) + len(refused) == count
    return [
        ctx.row("dock kept: channel reading at 1 MiB/s, a widget forwarding %d x 1 MiB" % count,
                len(arrived), "MiB arrived", baseline=len(acknowledged),
                target="all acknowledged arrive, the rest refused, dock not closed", ok=ok,
                extra={"acknowledged": len(acknowledged), "refused": len(refused), "errors": other,
                       "arrived_out_of_order": arrived != acknowledged[:len(arrived)], "cut_frames": len(cut),
                       "dock_failures": failures, "sending_s": sending}),
    ]


def large_forward(ctx):
    svc = benchlib.start_service(ctx)
    try:
        dock = dock_client(svc)
        quiet = benchlib.summary_us(benchlib.round_trips(dock, "getCoreVersion", ctx.count(2000)))
        receiver = apps_client(svc, "bench-receiver")
        widget = apps_client(svc, "bench-widget", timeout=120)
        head = "sendDataToChannel bench-receiver "
        tail = " t"
        data = "y" * (LARGE - len(head) - len(tail))  # the whole message is the port's limit
        time.sleep(1)
        rss0 = svc.rss_kib()
        peak = PeakRss(svc, period=0.01)
        stop, frames, failures = threading.Event(), [], []
        reader = threading.Thread(target=forward_frames, args=(receiver, stop, frames, failures))
        reader.start()
        probe_stop, samples, probe_failures = threading.Event(), [], []
        probe = threading.Thread(target=dock_probe, args=(dock, probe_stop, samples, probe_failures, 0.005))
        probe.start()
        time.sleep(0.2)
        cpu0 = benchlib.cpu_seconds(svc.proc.pid)
        t0 = time.monotonic()
        reply = widget.request(head + data + tail, timeout=120)
        while not frames and time.monotonic() < t0 + 120 and reader.is_alive():
            time.sleep(0.005)
        seconds = time.monotonic() - t0
        cpu = benchlib.cpu_seconds(svc.proc.pid) - cpu0
        time.sleep(0.3)  # the probe sees the service settle
        probe_stop.set()
        probe.join(70)
        stop.set()
        reader.join(10)
        rss_peak = peak.stop()
        for c in (dock, receiver, widget):
            c.close()
    finally:
        alive = svc.alive()
        svc.stop()
    during = benchlib.summary_us(samples) if samples else {"median_us": None, "p99_us": None, "n": 0}
    worst = max(samples) * 1e6 if samples else float("inf")
    growth_mib = (rss_peak - rss0) / 1024.0
    arrived = len(frames) == 1 and len(frames[0]) == len(data)
    return [
        ctx.row("16 MiB forward: the dock's slowest round trip during it", worst, "us",
                baseline=quiet["median_us"], ratio=benchlib.ratio(worst, quiet["median_us"]),
                target="<= %d us" % LARGE_RTT_TARGET_US,
                ok=alive and arrived and not probe_failures and worst <= LARGE_RTT_TARGET_US,
                extra={"median_us": during["median_us"], "p99_us": during["p99_us"], "n": during["n"],
                       "reply": reply[:60], "arrived_whole": arrived, "failures": probe_failures + failures,
                       "forward_s": seconds}),
        ctx.row("16 MiB forward: the service's CPU time (both threads)", cpu * 1000, "ms",
                extra={"note": "includes reading 16 MiB in the port's read-sized pieces"}),
        ctx.row("16 MiB forward: peak resident growth", growth_mib, "MiB", baseline=LARGE / MiB,
                ratio=growth_mib * MiB / LARGE, target="<= %.0fx its size" % LARGE_GROWTH_TARGET,
                ok=growth_mib * MiB <= LARGE_GROWTH_TARGET * LARGE, extra={"rss_before_kib": rss0}),
    ]


def run(ctx):
    return benchlib.run_figures(ctx, (dock_kept, large_forward))
