"""Framing: the time to cut the input into messages grows linearly with the bytes.

On the apps port a message whose first word is no command is answered with a
bare "Success ", so the reply costs little beside the framing.
"""
import socket
import time

import benchlib

MESSAGE = b"xxxxxxx|"  # 8 bytes
LINEAR = (6.0, 10.0)  # an 8x input may take this many times as long


def burst_seconds(svc, size):
    client = benchlib.Framed(svc.key.apps_port, timeout=120)
    count = size // len(MESSAGE)
    seconds = benchlib.timed_burst(client, MESSAGE * count, count)
    client.close()
    return seconds


def bytewise_seconds(svc, data, replies):
    """data written one byte per send(): every byte boundary is a possible read boundary."""
    client = benchlib.Framed(svc.key.apps_port, timeout=120)
    t0 = time.perf_counter()
    for i in range(len(data)):
        client.sock.send(data[i:i + 1])
    client.replies(replies)
    seconds = time.perf_counter() - t0
    client.close()
    return seconds


def run(ctx):
    svc = benchlib.shared_service(ctx)
    mib = 1 << 20
    small, large = (mib // 8, mib) if ctx.quick else (mib, 8 * mib)
    burst_seconds(svc, 64 * 1024)  # warm-up
    t_small = burst_seconds(svc, small)
    t_large = burst_seconds(svc, large)
    r_burst = t_large / t_small

    short = 4096 if ctx.quick else 16384
    t_split_small = bytewise_seconds(svc, MESSAGE * (short // 8), short // 8)
    t_split_large = bytewise_seconds(svc, MESSAGE * (short // 1), short)
    r_split = t_split_large / t_split_small

    # One long message in single bytes: its unfinished tail is kept between reads.
    long_small, long_large = 6000, 48000
    t_long_small = bytewise_seconds(svc, b"x" * long_small + b"|", 1)
    t_long_large = bytewise_seconds(svc, b"x" * long_large + b"|", 1)
    r_long = t_long_large / t_long_small

    lo, hi = LINEAR
    target = "%.0f-%.0fx for 8x bytes" % LINEAR
    return [
        ctx.row("framing burst, %d KiB of 8-byte messages" % (small // 1024), t_small * 1e3, "ms",
                extra={"messages_per_s": small / 8 / t_small}),
        ctx.row("framing burst, %d KiB of 8-byte messages" % (large // 1024), t_large * 1e3, "ms",
                extra={"messages_per_s": large / 8 / t_large}),
        ctx.row("framing burst time ratio, 8x bytes", r_burst, "x", target=target, ok=lo <= r_burst <= hi),
        ctx.row("framing, one byte per write, 8x bytes", r_split, "x", target=target, ok=lo <= r_split <= hi,
                extra={"small_ms": t_split_small * 1e3, "large_ms": t_split_large * 1e3}),
        ctx.row("framing, one long message byte by byte, 8x bytes", r_long, "x", target=target,
                ok=lo <= r_long <= hi, extra={"small_ms": t_long_small * 1e3, "large_ms": t_long_large * 1e3}),
    ]
