"""Channels: forwarding rate between two apps-port clients, and the cost of a
registration broadcast to 50 registered clients."""
import select
import threading
import time

import benchlib

LISTENERS = 50


class Drainer:
    """Reads and counts frames on many sockets in one thread, so nobody's buffer fills."""

    def __init__(self, clients):
        self.clients = clients
        self.frames = 0
        self.stop = False
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        socks = [c.sock for c in self.clients]
        while not self.stop:
            ready, _, _ = select.select(socks, [], [], 0.05)
            for s in ready:
                self.frames += s.recv(1 << 16).count(b"|")

    def wait_frames(self, count, timeout=120):
        deadline = time.monotonic() + timeout
        while self.frames < count and time.monotonic() < deadline:
            time.sleep(0.001)
        return self.frames >= count

    def close(self):
        self.stop = True
        self.thread.join()


def register(client, name):
    client.send("registerChannel " + name)
    while client.reply() != "Success ChannelRegistered=true":
        pass


def forwarding_rate(svc, count):
    sender = benchlib.Framed(svc.key.apps_port)
    receiver = benchlib.Framed(svc.key.apps_port)
    register(sender, "bench-sender")
    register(receiver, "bench-receiver")
    sender.reply()  # "BroadcastRegisteredChannel=bench-receiver"
    drain = Drainer([receiver])
    payload = b"sendDataToChannel bench-receiver payload t|" * count
    t0 = time.perf_counter()
    writer = threading.Thread(target=sender.sock.sendall, args=(payload,))
    writer.start()
    sender.replies(count)
    ok = drain.wait_frames(count)
    seconds = time.perf_counter() - t0
    writer.join()
    drain.close()
    sender.close()
    receiver.close()
    if not ok:
        raise RuntimeError("only %d of %d forwarded frames arrived" % (drain.frames, count))
    return count / seconds


def registration_rtt(svc, listeners, count):
    """Median round trip of a re-registration that is broadcast to `listeners` other clients."""
    others = [benchlib.Framed(svc.key.apps_port) for _ in range(listeners)]
    for i, c in enumerate(others):
        register(c, "listener-%d" % i)
    drain = Drainer(others)
    caller = benchlib.Framed(svc.key.apps_port)
    samples = []
    for i in range(count):
        t0 = time.perf_counter()
        register(caller, "caller")
        samples.append(time.perf_counter() - t0)
    drain.close()
    caller.close()
    for c in others:
        c.close()
    return benchlib.summary_us(samples)


def run(ctx):
    svc = benchlib.shared_service(ctx)
    forwarding_rate(svc, ctx.count(2000))  # warm-up
    rate = forwarding_rate(svc, ctx.count(50000))
    alone = registration_rtt(svc, 0, ctx.count(2000))
    crowd = registration_rtt(svc, LISTENERS, ctx.count(2000))
    per_listener = (crowd["median_us"] - alone["median_us"]) / LISTENERS
    echo = ctx.baselines["wine_rate"]
    return [
        ctx.row("channel forwarding rate", rate, "msg/s", baseline=echo, ratio=benchlib.ratio(rate, echo)),
        ctx.row("registration round trip, no other channel", alone["median_us"], "us median",
                baseline=ctx.baselines["wine_rtt"]["median_us"],
                ratio=benchlib.ratio(alone["median_us"], ctx.baselines["wine_rtt"]["median_us"])),
        ctx.row("registration round trip, broadcast to %d" % LISTENERS, crowd["median_us"], "us median",
                baseline=alone["median_us"], ratio=benchlib.ratio(crowd["median_us"], alone["median_us"]),
                extra={"p99_us": crowd["p99_us"], "per_listener_us": per_listener}),
        ctx.row("broadcast cost per registered client", per_listener, "us"),
    ]
