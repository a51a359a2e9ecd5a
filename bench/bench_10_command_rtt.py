"""Command round trip: authorized getCoreVersion, one request at a time, in
rounds taken in turn with the same round trips to baseline (a)."""
import benchlib

TARGETS = {"median_us": 1.1, "p99_us": 1.5}  # at most this times baseline (a)
ROUNDS = 10


def run(ctx):
    client, echo = benchlib.command_and_echo_clients(ctx, lambda c: benchlib.round_trips(c, "getCoreVersion", 200))
    per_round = max(1, ctx.count(5000) // ROUNDS)
    ours, theirs = benchlib.interleaved(ROUNDS, lambda: benchlib.round_trips(client, "getCoreVersion", per_round),
                                        lambda: benchlib.round_trips(echo, "getCoreVersion", per_round))
    client.close()
    echo.close()
    s = benchlib.summary_us([x for r in ours for x in r])
    wine = benchlib.summary_us([x for r in theirs for x in r])
    host = ctx.baselines["host_rtt"]

    rows = []
    for key, label in (("median_us", "median"), ("p99_us", "99th percentile")):
        r = benchlib.ratio(s[key], wine[key])
        rows.append(ctx.row("command round trip, " + label, s[key], "us", baseline=wine[key], ratio=r,
                            target="<= %.1fx (a)" % TARGETS[key], ok=r <= TARGETS[key],
                            extra={"n": s["n"], "ratio_to_host": benchlib.ratio(s[key], host[key])}))
    return rows
