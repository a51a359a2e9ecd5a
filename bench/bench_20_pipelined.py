"""Pipelined throughput: short commands written back to back on one connection,
in rounds taken in turn with the same burst to baseline (a) (one send per
read) and to the echo that sends each reply on its own."""
import statistics

import benchlib

TARGET = 0.8  # at least this times the echo server's message rate
ROUNDS = 10


def run(ctx):
    client, echo = benchlib.command_and_echo_clients(
        ctx, lambda c: benchlib.pipelined_rate(c, "getCoreVersion", ctx.count(5000)))
    single = benchlib.Framed(benchlib.shared_echo(ctx, per_message=True).port)
    benchlib.pipelined_rate(single, "getCoreVersion", ctx.count(5000))
    per_round = max(10, ctx.count(100000) // ROUNDS)
    # CPU time of each server per message: where the time of a reply goes.
    service_pid, echo_pid = benchlib.shared_service(ctx).proc.pid, benchlib.shared_echo(ctx).proc.pid
    cpu0 = benchlib.cpu_seconds(service_pid), benchlib.cpu_seconds(echo_pid)
    ours, theirs, singles = benchlib.interleaved(
        ROUNDS, lambda: benchlib.pipelined_rate(client, "getCoreVersion", per_round),
        lambda: benchlib.pipelined_rate(echo, "getCoreVersion", per_round),
        lambda: benchlib.pipelined_rate(single, "getCoreVersion", per_round))
    cpu_us = [(benchlib.cpu_seconds(pid) - before) * 1e6 / (ROUNDS * per_round)
              for pid, before in zip((service_pid, echo_pid), cpu0)]
    for c in (client, echo, single):
        c.close()

    def overall(rates):  # messages over total time
        return ROUNDS * per_round / sum(per_round / r for r in rates)

    rate, base, per_message = overall(ours), overall(theirs), overall(singles)
    r = benchlib.ratio(rate, base)
    return [ctx.row("pipelined getCoreVersion replies", rate, "replies/s", baseline=base, ratio=r,
                    target=">= %.1fx (a)" % TARGET, ok=r >= TARGET,
                    extra={"messages": ROUNDS * per_round, "service_cpu_us_per_message": cpu_us[0],
                           "echo_cpu_us_per_message": cpu_us[1],
                           "median_round_ratio": statistics.median(o / t for o, t in zip(ours, theirs))}),
            ctx.row("pipelined replies of the echo sending each reply on its own", per_message, "replies/s",
                    baseline=base, ratio=benchlib.ratio(per_message, base))]
