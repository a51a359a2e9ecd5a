"""Framing: the time to cut a burst into messages grows linearly with its bytes.

On the apps port a message whose first word is no command is answered with a
bare "Success ", so little but reading, framing and one send per message is
measured. (Every split of a message across reads is checked for correctness by
tests/e2e/test_fuzz_ports.py; bench_framing.py times one long message in small pieces.)
"""
import threading
import time

import benchlib

MESSAGE = b"xxxxxxx|"  # 8 bytes
LINEAR = (6.0, 10.0)  # an 8x input may take this many times as long


def burst_seconds(svc, size):
    client = benchlib.Framed(svc.key.apps_port, timeout=600)
    count = size // len(MESSAGE)
    seconds = benchlib.timed_burst(client, MESSAGE * count, count)
    client.close()
    return seconds


def split_seconds(svc, size):
    """A burst written in pieces of 4097 to 4103 bytes: over the run, a write ends
    at every byte boundary inside the 8-byte messages, while the pieces stay
    large enough that the service reads them as it reads a plain burst."""
    client = benchlib.Framed(svc.key.apps_port, timeout=600)
    count = size // len(MESSAGE)
    data = MESSAGE * count
    pieces = []
    i, k = 0, 0
    while i < len(data):
        n = 4097 + k % 7
        pieces.append(data[i:i + n])
        i, k = i + n, k + 1

    def write():
        for piece in pieces:
            client.sock.sendall(piece)

    t0 = time.perf_counter()
    writer = threading.Thread(target=write)
    writer.start()
    client.replies(count)
    writer.join()
    seconds = time.perf_counter() - t0
    client.close()
    return seconds


def run(ctx):
    svc = benchlib.shared_service(ctx)
    mib = 1 << 20
    small, large = (mib // 8, mib) if ctx.quick else (mib, 8 * mib)
    burst_seconds(svc, 64 * 1024)  # warm-up
    # small, large, small: the two small runs bracket the large one in time.
    t_small = [burst_seconds(svc, small)]
    t_large = burst_seconds(svc, large)
    t_small.append(burst_seconds(svc, small))
    # Load on a shared machine only ever slows a run: the faster small run is
    # the better estimate of its cost.
    r_burst = t_large / min(t_small)

    s_small = [split_seconds(svc, small)]
    s_large = split_seconds(svc, large)
    s_small.append(split_seconds(svc, small))
    r_split = s_large / min(s_small)

    lo, hi = LINEAR
    target = "%.0f-%.0fx for 8x bytes" % LINEAR
    return [
        ctx.row("framing burst, %d KiB of 8-byte messages" % (small // 1024), min(t_small) * 1e3, "ms",
                extra={"messages_per_s": small / 8 / min(t_small), "runs_ms": [t * 1e3 for t in t_small]}),
        ctx.row("framing burst, %d KiB of 8-byte messages" % (large // 1024), t_large * 1e3, "ms",
                extra={"messages_per_s": large / 8 / t_large}),
        ctx.row("framing burst time, 8x bytes", r_burst, "x", target=target, ok=lo <= r_burst <= hi,
                extra={"small_ms": [t * 1e3 for t in t_small], "large_ms": t_large * 1e3}),
        ctx.row("framing, writes ending at every byte boundary, 8x bytes", r_split, "x", target=target,
                ok=lo <= r_split <= hi, extra={"small_ms": [t * 1e3 for t in s_small], "large_ms": s_large * 1e3}),
    ]
