"""Baselines: (a) our WSAAsyncSelect echo server under Wine, answering all the
messages of one read with one send (the floor of this runtime); beside it the
same server answering each message with a send of its own; (b) a plain TCP
echo on the host."""
import benchlib


def _wine_echo(ctx, n, per_message):
    echo = benchlib.WineEcho(ctx, per_message=per_message)
    try:
        client = benchlib.Framed(echo.port)
        benchlib.round_trips(client, "getCoreVersion", 200)
        rtt = benchlib.summary_us(benchlib.round_trips(client, "getCoreVersion", n))
        rate = benchlib.pipelined_rate(client, "getCoreVersion", ctx.count(100000))
        client.close()
    finally:
        echo.close()
    return rtt, rate


def run(ctx):
    n = ctx.count(5000)
    host = benchlib.HostEcho()
    client = benchlib.Framed(host.port)
    benchlib.round_trips(client, "getCoreVersion", 200)  # warm-up
    ctx.baselines["host_rtt"] = benchlib.summary_us(benchlib.round_trips(client, "getCoreVersion", n))
    client.close()
    host.close()

    ctx.baselines["wine_rtt"], ctx.baselines["wine_rate"] = _wine_echo(ctx, n, per_message=False)
    ctx.baselines["wine_rtt_per_message"], ctx.baselines["wine_rate_per_message"] = _wine_echo(ctx, n, True)

    h, w, p = ctx.baselines["host_rtt"], ctx.baselines["wine_rtt"], ctx.baselines["wine_rtt_per_message"]
    return [
        ctx.row("baseline (b) host TCP echo round trip", h["median_us"], "us median", extra={"p99_us": h["p99_us"]}),
        ctx.row("baseline (a) Wine WSAAsyncSelect echo round trip", w["median_us"], "us median",
                extra={"p99_us": w["p99_us"]}),
        ctx.row("baseline (a) Wine echo pipelined rate, one send per read", ctx.baselines["wine_rate"], "msg/s"),
        ctx.row("Wine echo round trip, one send per message", p["median_us"], "us median",
                extra={"p99_us": p["p99_us"]}),
        ctx.row("Wine echo pipelined rate, one send per message", ctx.baselines["wine_rate_per_message"], "msg/s",
                baseline=ctx.baselines["wine_rate"],
                ratio=benchlib.ratio(ctx.baselines["wine_rate_per_message"], ctx.baselines["wine_rate"])),
    ]
