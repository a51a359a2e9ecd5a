"""Memory and descriptors of a fresh service before and after many short clients:
10 000 connect/authorize/command/disconnect cycles, then 1 000 channel
registrations and departures."""
import time

import benchlib

GROWTH_LIMIT_KIB = 1024


def command_cycles(svc, count):
    for _ in range(count):
        client = benchlib.Framed(svc.key.command_port)
        client.send("auth " + svc.key.auth_key)
        if client.reply() != "authOk":
            raise RuntimeError("authorization refused")
        client.send("getCoreVersion")
        while not client.reply().startswith("Success CoreVersion="):
            pass
        client.close()


def channel_cycles(svc, count):
    stay = benchlib.Framed(svc.key.apps_port)  # one registered client hears every arrival and departure
    stay.send("registerChannel resident")
    stay.reply()
    for i in range(count):
        client = benchlib.Framed(svc.key.apps_port)
        client.send("registerChannel visitor-%d" % i)
        if client.reply() != "Success ChannelRegistered=true":
            raise RuntimeError("registration failed")
        client.close()
        stay.reply()  # BroadcastRegisteredChannel
        stay.reply()  # BroadcastUnRegisteredChannel
    stay.close()


def settled(svc):
    time.sleep(1)
    return svc.rss_kib(), svc.open_fds()


def run(ctx):
    svc = benchlib.start_service(ctx)
    command_cycles(svc, 200)  # warm-up: first-use allocations are not growth
    channel_cycles(svc, 50)
    rss0, fds0 = settled(svc)
    command_cycles(svc, ctx.count(10000))
    rss1, fds1 = settled(svc)
    channel_cycles(svc, ctx.count(1000))
    rss2, fds2 = settled(svc)

    target = "< %d KiB growth" % GROWTH_LIMIT_KIB
    return [
        ctx.row("resident size, fresh service after warm-up", rss0, "KiB", extra={"open_fds": fds0}),
        ctx.row("resident growth after %d command cycles" % ctx.count(10000), rss1 - rss0, "KiB", target=target,
                ok=rss1 - rss0 < GROWTH_LIMIT_KIB, extra={"rss_kib": rss1}),
        ctx.row("resident growth after %d channel cycles" % ctx.count(1000), rss2 - rss1, "KiB", target=target,
                ok=rss2 - rss1 < GROWTH_LIMIT_KIB, extra={"rss_kib": rss2}),
        ctx.row("open descriptors before/after all cycles", fds2 - fds0, "growth", target="no growth",
                ok=fds2 <= fds0, extra={"before": fds0, "after_commands": fds1, "after_channels": fds2}),
    ]
