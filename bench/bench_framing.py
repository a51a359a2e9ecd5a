"""Framing on the real service: long messages arriving in small pieces, and endless input.

- cost per byte of a message delivered in 100-byte sends, for a 12 KB and a 60 KB message: the
  framing walks only the new bytes of each read, so the per-byte cost must not grow with the length
  of the unfinished message (target: the 60 KB figure at most twice the 12 KB one);
- memory of the service after clients sent megabytes without a delimiter on the pressure port:
  past the message limit the rest is skipped up to a delimiter that never comes, so nothing is
  kept and the resident size must stay flat (target: growth under 16 MiB).
"""
import time

import marlin_e2e


def _delivery_seconds(port, length, piece=100):
    """Seconds from the first byte of a `sendDataToChannel` message of `length` bytes to its reply."""
    client = marlin_e2e.Client(port, timeout=60)
    try:
        assert client.request("registerChannel bench").startswith("Success ")
        body = b"sendDataToChannel nobody " + b"x" * (length - len("sendDataToChannel nobody  t")) + b" t|"
        t0 = time.perf_counter()
        for i in range(0, len(body), piece):
            client.send_raw(body[i:i + piece])
        reply = client.read_frame(timeout=60)
        elapsed = time.perf_counter() - t0
        assert reply == "Success DataSentToChannelError=t", reply
        return elapsed
    finally:
        client.sock.close()


def _per_byte_us(port, length, repeats):
    samples = sorted(_delivery_seconds(port, length) for _ in range(repeats))
    return samples[len(samples) // 2] / length * 1e6


def _flood(port, megabytes):
    client = marlin_e2e.Client(port, timeout=30)
    try:
        client.send_raw(b"x" * (megabytes << 20))
        client.send_raw(b"|")
        client.read_frame()  # the failure reply naming the limit: everything sent was read
    except OSError:
        pass
    client.close()


def run(ctx):
    repeats = 5 if ctx.quick else 21
    with marlin_e2e.WinePrefix(log=False) as prefix:
        service = marlin_e2e.Service(prefix)
        service.start()
        try:
            port = service.key.apps_port
            _delivery_seconds(port, 2000)  # warm-up
            short = _per_byte_us(port, 12000, repeats)
            long = _per_byte_us(port, 60000, repeats)

            before = service.rss_kib()
            for _ in range(3 if ctx.quick else 20):
                _flood(service.key.pressure_port, 4)
            growth_mib = (service.rss_kib() - before) / 1024.0
            assert service.alive()
        finally:
            service.stop()

    ratio = long / short
    return [
        ctx.row("framing: 12 KB message in 100-byte sends", short, "us/byte"),
        ctx.row("framing: 60 KB message in 100-byte sends", long, "us/byte", baseline=short, ratio=ratio,
                target="<= 2x the 12 KB cost", ok=ratio <= 2.0),
        ctx.row("memory growth after endless input (skipped past the limit)", growth_mib, "MiB",
                target="< 16 MiB", ok=growth_mib < 16),
    ]
