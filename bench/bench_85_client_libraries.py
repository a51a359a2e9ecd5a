"""The two client libraries side by side, against one service in one run, each through the
Python library (clients/python) and the Node library (clients/node, run by
bench/client-figures.mjs); medians of a few rounds:
  - a 16 MiB channel forward read: the sender writes the prepared request's bytes as they are,
    the time runs until the reader's library has handed over the whole message;
  - the same forward sent with sendToChannel (the library checks the data) and read;
  - 10,000 pipelined getCoreVersion requests, all written before the first reply is read."""
import json
import os
import statistics
import subprocess
import sys
import threading
import time

import benchlib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "clients", "python"))
import marlin_client as mc  # noqa: E402

ROUNDS = 3
DATA = "A" * ((16 << 20) - 64)  # the longest data one apps-port message carries, as one word


def python_forward(key):
    """(read, sent and read) seconds per round."""
    read, both = [], []
    payload = ("sendDataToChannel bench-dock %s r|" % DATA).encode("ascii")
    with mc.connect(key, "apps", timeout=60) as dock, mc.connect(key, "apps", timeout=60) as widget:
        dock.register_channel("bench-dock")
        widget.register_channel("bench-widget")
        dock.next_unsolicited()  # the widget's broadcast
        for i in range(ROUNDS):
            for times, send in ((read, lambda: widget.send_raw(payload) or widget.read_frame(60) == "Success DataSentToChannel=r"),
                                (both, lambda: widget.send_to_channel("bench-dock", DATA, "r"))):
                sent = []
                started = time.perf_counter()
                sender = threading.Thread(target=lambda: sent.append(send()))
                sender.start()
                message = dock.next_unsolicited(60)
                times.append(time.perf_counter() - started)
                sender.join(60)
                if sent != [True] or len(message.text) != len("ForwardDataToChannel bench-widget ") + len(DATA):
                    raise RuntimeError("the forward did not arrive whole")
    return read, both


def python_pipelined(key, count):
    times = []
    with mc.connect(key, timeout=120) as command:
        for _ in range(ROUNDS):
            started = time.perf_counter()
            writer = threading.Thread(target=lambda: [command.send("getCoreVersion") for _ in range(count)])
            writer.start()
            replies = [command.read_frame() for _ in range(count)]
            writer.join()
            times.append(time.perf_counter() - started)
            if any(r != "Success CoreVersion=2.06.0" for r in replies):
                raise RuntimeError("a reply was not the version")
    return times


def run(ctx):
    key = benchlib.shared_service(ctx).key
    count = ctx.count(10000)
    py_read, py_both = (statistics.median(t) for t in python_forward(key))
    py_pipelined = statistics.median(python_pipelined(key, count))
    out = subprocess.run(["node", os.path.join(HERE, "client-figures.mjs"), key.path, str(count), str(ROUNDS)],
                         capture_output=True, text=True, timeout=600, check=True).stdout
    node = json.loads(out.strip().splitlines()[-1])
    node_read, node_both, node_pipelined = (statistics.median(node[k]) for k in ("read", "both", "pipelined"))
    return [
        ctx.row("16 MiB forward read through the Python library", py_read, "s"),
        ctx.row("16 MiB forward read through the Node library", node_read, "s", baseline=py_read,
                ratio=benchlib.ratio(node_read, py_read)),
        ctx.row("16 MiB forward sent and read through the Python library", py_both, "s"),
        ctx.row("16 MiB forward sent and read through the Node library", node_both, "s", baseline=py_both,
                ratio=benchlib.ratio(node_both, py_both)),
        ctx.row("%d pipelined getCoreVersion through the Python library" % count, py_pipelined, "s",
                extra={"replies_per_s": count / py_pipelined}),
        ctx.row("%d pipelined getCoreVersion through the Node library" % count, node_pipelined, "s",
                baseline=py_pipelined, ratio=benchlib.ratio(node_pipelined, py_pipelined),
                extra={"replies_per_s": count / node_pipelined}),
    ]
