"""Pipelined throughput: short commands written back to back on one connection."""
import benchlib

TARGET = 0.8  # at least this times the echo server's message rate


def run(ctx):
    svc = benchlib.shared_service(ctx)
    client = benchlib.authorized_client(svc.key)
    benchlib.pipelined_rate(client, "getCoreVersion", ctx.count(10000))  # warm-up
    client.close()
    client = benchlib.authorized_client(svc.key)
    rate = benchlib.pipelined_rate(client, "getCoreVersion", ctx.count(100000))
    client.close()

    base = ctx.baselines["wine_rate"]
    r = benchlib.ratio(rate, base)
    return [ctx.row("pipelined getCoreVersion replies", rate, "replies/s", baseline=base, ratio=r,
                    target=">= %.1fx (a)" % TARGET, ok=r >= TARGET)]
