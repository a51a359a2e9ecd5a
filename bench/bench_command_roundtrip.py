"""Authorized getCoreVersion round trip on the running service, beside the baselines of this run."""
import time

import benchlib
import marlin_e2e


def run(ctx):
    n = ctx.count(1000)
    # The log is off, as on a user's machine that never asked for it.
    with marlin_e2e.WinePrefix(log=False) as prefix:
        service = marlin_e2e.Service(prefix)
        service.start()
        try:
            client = service.command()
            for _ in range(200):  # warm-up
                client.request("getCoreVersion")
            samples = []
            for _ in range(n):
                t0 = time.perf_counter()
                client.send("getCoreVersion")
                client.read_frame()
                samples.append(time.perf_counter() - t0)
            client.close()
        finally:
            service.stop()
    rtt = benchlib.summary_us(samples)
    ctx.baselines["command_rtt"] = rtt
    rows = [ctx.row("getCoreVersion round trip (authorized)", rtt["median_us"], "us median",
                    extra={"p99_us": rtt["p99_us"], "n": rtt["n"]})]
    for key, label in (("host_rtt", "(b) host TCP echo"), ("wine_rtt", "(a) Wine echo")):
        base = ctx.baselines.get(key)
        if base:
            rows.append(ctx.row("getCoreVersion round trip vs " + label, rtt["median_us"], "us median",
                                baseline=base["median_us"], ratio=rtt["median_us"] / base["median_us"]))
    return rows
