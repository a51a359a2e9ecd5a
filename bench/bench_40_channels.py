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
        self.closed = 0
        self.stop = False
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        socks = [c.sock for c in self.clients]
        while not self.stop and socks:
            ready, _, _ = select.select(socks, [], [], 0.05)
            for s in ready:
                try:
                    data = s.recv(1 << 16)
                except OSError:
                    data = b""
                if not data:  # closed by the service (e.g. past its output bound)
                    socks.remove(s)
                    self.closed += 1
                self.frames += data.count(b"|")

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


def registration_rtts(svc, listeners, count):
    """Round trips of a re-registration that is broadcast to `listeners` other clients."""
    others = [benchlib.Framed(svc.key.apps_port) for _ in range(listeners)]
    for i, c in enumerate(others):
        register(c, "listener-%d" % i)
    drain = Drainer(others) if others else None
    caller = benchlib.Framed(svc.key.apps_port)
    samples = []
    for i in range(count):
        t0 = time.perf_counter()
        register(caller, "caller")
        samples.append(time.perf_counter() - t0)
    if drain:
        drain.close()
    caller.close()
    for c in others:
        c.close()
    return samples


def run(ctx):
    svc = benchlib.shared_service(ctx)
    echo_port = benchlib.shared_echo(ctx).port
    rounds = 5
    forwarding_rate(svc, ctx.count(2000))  # warm-up

    def echo_rate():
        client = benchlib.Framed(echo_port)
        rate = benchlib.pipelined_rate(client, "sendDataToChannel bench-receiver payload t", ctx.count(10000))
        client.close()
        return rate

    def echo_rtts():
        client = benchlib.Framed(echo_port)
        samples = benchlib.round_trips(client, "registerChannel caller", ctx.count(400))
        client.close()
        return samples

    rates, echo_rates = benchlib.interleaved(rounds, lambda: forwarding_rate(svc, ctx.count(10000)), echo_rate)
    alone, crowd, echo = benchlib.interleaved(rounds, lambda: registration_rtts(svc, 0, ctx.count(400)),
                                              lambda: registration_rtts(svc, LISTENERS, ctx.count(400)), echo_rtts)
    rate = rounds / sum(1 / r for r in rates)
    base = rounds / sum(1 / r for r in echo_rates)
    alone = benchlib.summary_us([x for r in alone for x in r])
    crowd = benchlib.summary_us([x for r in crowd for x in r])
    echo = benchlib.summary_us([x for r in echo for x in r])
    per_listener = (crowd["median_us"] - alone["median_us"]) / LISTENERS
    return [
        ctx.row("channel forwarding rate (sender to receiver)", rate, "msg/s", baseline=base,
                ratio=benchlib.ratio(rate, base)),
        ctx.row("registration round trip, no other channel", alone["median_us"], "us median",
                baseline=echo["median_us"], ratio=benchlib.ratio(alone["median_us"], echo["median_us"])),
        ctx.row("registration round trip, broadcast to %d" % LISTENERS, crowd["median_us"], "us median",
                baseline=echo["median_us"], ratio=benchlib.ratio(crowd["median_us"], echo["median_us"]),
                extra={"p99_us": crowd["p99_us"]}),
        ctx.row("broadcast cost per registered client", per_listener, "us",
                baseline=echo["median_us"], ratio=benchlib.ratio(per_listener, echo["median_us"])),
    ]
