"""Baselines: (a) our WSAAsyncSelect echo server under Wine, (b) a plain TCP echo on the host."""
import benchlib


def run(ctx):
    n = ctx.count(5000)
    host = benchlib.HostEcho()
    client = benchlib.Framed(host.port)
    benchlib.round_trips(client, "getCoreVersion", 200)  # warm-up
    ctx.baselines["host_rtt"] = benchlib.summary_us(benchlib.round_trips(client, "getCoreVersion", n))
    client.close()
    host.close()

    echo = benchlib.WineEcho(ctx)
    try:
        client = benchlib.Framed(echo.port)
        benchlib.round_trips(client, "getCoreVersion", 200)
        ctx.baselines["wine_rtt"] = benchlib.summary_us(benchlib.round_trips(client, "getCoreVersion", n))
        ctx.baselines["wine_rate"] = benchlib.pipelined_rate(client, "getCoreVersion", ctx.count(100000))
        client.close()
    finally:
        echo.close()

    h, w = ctx.baselines["host_rtt"], ctx.baselines["wine_rtt"]
    return [
        ctx.row("baseline (b) host TCP echo round trip", h["median_us"], "us median", extra={"p99_us": h["p99_us"]}),
        ctx.row("baseline (a) Wine WSAAsyncSelect echo round trip", w["median_us"], "us median",
                extra={"p99_us": w["p99_us"]}),
        ctx.row("baseline (a) Wine echo pipelined rate", ctx.baselines["wine_rate"], "msg/s"),
    ]
