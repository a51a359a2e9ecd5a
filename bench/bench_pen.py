"""Pen latency on the real service, with the stand-in dock and tablet driver.

- latency: from the stand-in driver posting a packet (to the dock's window, as a
  driver does) to its pressure value arriving at the pressure client, through
  the hook library in the dock's process, the tablet listener window and the
  pressure port: median and 99th percentile over the packets of each rate;
- loss: packets whose pressure value never arrived, at 133, 500 and 1000
  packets per second (target: none at 1000);
- beside them, a plain loopback TCP round trip between two threads of the same
  Windows client (target: the pen's median within 1.5 times it);
- the same 5-byte writes at 133 per second to a reader that never answers,
  with Nagle's algorithm and with TCP_NODELAY (what the accepted sockets use).

Posting and arrival are timed in one Windows process (bench_pen_client.exe),
so both come from one clock.
"""
import json
import os
import shutil

import marlin_e2e

DOCK_TITLE = "Marlin Bench Dock"
RATES = (133, 500, 1000)


def _driver_dir(ctx):
    return os.path.join(ctx.bin_dir, "tablet-driver")


def _client(ctx, prefix, *args, timeout=600):
    result = prefix.run([os.path.join(ctx.bin_dir, "bench_pen_client.exe")] + [str(a) for a in args],
                        timeout=timeout)
    if result.returncode != 0:
        raise RuntimeError("bench_pen_client %s: %s" % (args[0], result.stderr or result.stdout))
    return json.loads(result.stdout.strip().splitlines()[-1])


def run(ctx):
    count = ctx.count(10000)
    with marlin_e2e.WinePrefix(log=False) as prefix:
        shutil.copy2(os.path.join(_driver_dir(ctx), "wintab32.dll"),
                     os.path.join(prefix.drive_c, "windows", "system32"))
        prefix.env["WINEDLLOVERRIDES"] = "mscoree,mshtml=;wintab32=n,b"
        service = marlin_e2e.Service(prefix)
        service.start()
        ready = os.path.join(prefix.path, "..", "dock-ready.txt")
        dock = prefix.start([os.path.join(_driver_dir(ctx), "testdock.exe"), DOCK_TITLE, prefix.windows_path(ready)],
                            os.path.join(prefix.path, "..", "dock.out"), os.path.join(prefix.path, "..", "dock.err"))
        try:
            if not marlin_e2e._wait_until(lambda: os.path.exists(ready), 30):
                raise RuntimeError("the test dock did not start")
            rtt = _client(ctx, prefix, "rtt", ctx.count(5000))
            pen = [_client(ctx, prefix, "pen", service.key.pressure_port, DOCK_TITLE, rate, count) for rate in RATES]
            nagle = _client(ctx, prefix, "nagle", 133, ctx.count(1000))
        finally:
            prefix.send_message("ApolloRuntimeContentWindow", 0x10, post=True)  # WM_CLOSE
            service.stop()
            try:
                dock.wait(10)
            except Exception:
                dock.kill()

    ctx.baselines["wine_loopback_rtt_in_process"] = rtt
    rows = [ctx.row("plain loopback TCP round trip (Winsock, two threads)", rtt["median_us"], "us median",
                    extra={"p99_us": rtt["p99_us"]})]
    for r in pen:
        ratio = r["median_us"] / rtt["median_us"] if rtt["median_us"] else None
        lost = r["posted"] - r["received"]
        rows.append(ctx.row("pen latency at %d/s (%d packets)" % (r["rate"], r["posted"]), r["median_us"], "us median",
                            baseline=rtt["median_us"], ratio=ratio, target="<= 1.5x round trip",
                            ok=ratio is not None and ratio <= 1.5, extra={"p99_us": r["p99_us"]}))
        rows.append(ctx.row("pen latency at %d/s, 99th percentile" % r["rate"], r["p99_us"], "us"))
        rows.append(ctx.row("packets lost at %d/s" % r["rate"], lost, "packets",
                            target="0" if r["rate"] == 1000 else None, ok=(lost == 0) if r["rate"] == 1000 else None))
    rows.append(ctx.row("5-byte writes at 133/s, Nagle on", nagle["nagle_median_us"], "us median",
                        extra={"p99_us": nagle["nagle_p99_us"]}))
    rows.append(ctx.row("5-byte writes at 133/s, TCP_NODELAY", nagle["nodelay_median_us"], "us median",
                        extra={"p99_us": nagle["nodelay_p99_us"]}))
    rows.append(ctx.row("5-byte writes at 133/s, Nagle on, 99th percentile", nagle["nagle_p99_us"], "us"))
    rows.append(ctx.row("5-byte writes at 133/s, TCP_NODELAY, 99th percentile", nagle["nodelay_p99_us"], "us"))
    return rows
