"""Command round trip: authorized getCoreVersion, one request at a time."""
import benchlib

TARGET = 1.2  # at most this times baseline (a)


def run(ctx):
    svc = benchlib.shared_service(ctx)
    client = benchlib.authorized_client(svc.key)
    benchlib.round_trips(client, "getCoreVersion", 200)  # warm-up
    s = benchlib.summary_us(benchlib.round_trips(client, "getCoreVersion", ctx.count(5000)))
    client.close()

    wine, host = ctx.baselines["wine_rtt"], ctx.baselines["host_rtt"]
    rows = []
    for key, label in (("median_us", "median"), ("p99_us", "99th percentile")):
        r = benchlib.ratio(s[key], wine[key])
        rows.append(ctx.row("command round trip, " + label, s[key], "us", baseline=wine[key], ratio=r,
                            target="<= %.1fx (a)" % TARGET, ok=r <= TARGET,
                            extra={"n": s["n"], "ratio_to_host": benchlib.ratio(s[key], host[key])}))
    return rows
