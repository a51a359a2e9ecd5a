"""Shared pieces of the benchmarks: Wine programs, loopback clients, statistics.

Every figure is measured beside its baseline in the same run: the machines are
noisy, so ratios hold where absolute times do not.
"""
import os
import shutil
import socket
import statistics
import subprocess
import tempfile
import threading
import time
import traceback

import marlin_e2e
from marlin_e2e import marlin_client


def percentile(values, p):
    ordered = sorted(values)
    if not ordered:
        return float("nan")
    k = min(len(ordered) - 1, max(0, int(round(p / 100.0 * (len(ordered) - 1)))))
    return ordered[k]


def summary_us(samples_s):
    us = [s * 1e6 for s in samples_s]
    return {"median_us": statistics.median(us), "p99_us": percentile(us, 99), "n": len(us)}


def wine_path(unix_path):
    return "Z:" + os.path.abspath(unix_path).replace("/", "\\")


def wine_env(prefix=None):
    env = dict(os.environ)
    env.setdefault("WINEARCH", marlin_e2e.wine_arch())
    env.setdefault("WINEDEBUG", "-all")
    env.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
    if prefix:
        env["WINEPREFIX"] = prefix
    return env


def start_wine(exe, args=(), prefix=None, log=None):
    out = open(log or os.devnull, "ab")
    return subprocess.Popen([marlin_e2e.wine_loader(), exe, *args], env=wine_env(prefix), stdout=out, stderr=out,
                            stdin=subprocess.DEVNULL)


def wait_for(predicate, timeout, step=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(step)
    return None


class Framed(marlin_client.Connection):
    """A client of a '|'-framed port: the client library's connection, read frame
    by frame (the figures time every frame, whatever it is)."""

    def __init__(self, port, timeout=10.0):
        super().__init__(port, marlin_client.COMMAND, timeout)

    def reply(self):
        return self.read_frame()

    def replies(self, count, timeout=120.0):
        self.skip_frames(count, timeout)
        return count


def round_trips(client, message, count):
    samples = []
    for _ in range(count):
        t0 = time.perf_counter()
        client.send(message)
        client.reply()
        samples.append(time.perf_counter() - t0)
    return samples


def pipelined_rate(client, message, count):
    """Writes count messages back to back while reading the replies; replies per second."""
    payload = (message.encode("utf-8") + b"|") * count
    t0 = time.perf_counter()
    writer = threading.Thread(target=client.sock.sendall, args=(payload,))
    writer.start()
    client.replies(count)
    writer.join()
    return count / (time.perf_counter() - t0)


class HostEcho:
    """A plain TCP echo over loopback on the host: the physical floor of the machine."""

    def __init__(self):
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(8)
        self.port = self.listener.getsockname()[1]
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            threading.Thread(target=self._echo, args=(conn,), daemon=True).start()

    @staticmethod
    def _echo(conn):
        with conn:
            while True:
                data = conn.recv(65536)
                if not data:
                    return
                conn.sendall(data)

    def close(self):
        self.listener.close()


class WineEcho:
    """Our minimal WSAAsyncSelect echo server under Wine: the cost floor of this
    runtime (the replies to one read in one send), or with per_message each
    reply a send of its own."""

    def __init__(self, ctx, prefix=None, per_message=False):
        self.dir = tempfile.mkdtemp(prefix="marlin-bench-echo-")
        port_file = os.path.join(self.dir, "port.txt")
        args = [wine_path(port_file)] + (["per-message"] if per_message else [])
        self.proc = start_wine(os.path.join(ctx.bin_dir, "bench_echo_server.exe"), args, prefix=prefix)
        text = wait_for(lambda: os.path.exists(port_file) and open(port_file).read().strip(), 30)
        if not text:
            self.proc.kill()
            raise RuntimeError("echo server did not start")
        self.port = int(text)

    def close(self):
        self.proc.terminate()
        try:
            self.proc.wait(5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
        shutil.rmtree(self.dir, ignore_errors=True)


# -- the service under measurement (tests/e2e/marlin_e2e.py starts it)

def start_service(ctx, log=False):
    """A MarlinCore.exe in a throw-away prefix of its own, stopped when the run ends.

    The session log stays off (as on a user's machine) unless log is true."""
    import marlin_e2e
    prefix = marlin_e2e.WinePrefix(log=log)
    ctx.cleanups.append(prefix.close)
    svc = marlin_e2e.Service(prefix)
    ctx.cleanups.append(svc.stop)
    svc.start()
    return svc


def shared_service(ctx):
    """One service for the figures that do not need a fresh process."""
    if getattr(ctx, "service", None) is None:
        ctx.service = start_service(ctx)
    return ctx.service


def authorized_client(key):
    """A Framed client of the command port that has authorized and read everything
    the service sends after "authOk" (the attached-device report)."""
    client = Framed(key.command_port)
    client.send("auth " + key.auth_key)
    reply = client.reply()
    if reply != "authOk":
        raise RuntimeError("authorization refused: %r" % reply)
    client.send("platform")
    while client.reply() != "Success WIN32":
        pass
    return client


def shared_echo(ctx, per_message=False):
    """Baseline (a) kept running, so figures can be measured in turn with it (or,
    with per_message, the echo that sends each reply on its own). It runs in
    the shared service's prefix, under the same wineserver: two equal echo
    servers in two prefixes differ by up to some 15% on this machine."""
    attr = "echo_per_message" if per_message else "echo"
    if getattr(ctx, attr, None) is None:
        echo = WineEcho(ctx, prefix=shared_service(ctx).prefix.path, per_message=per_message)
        setattr(ctx, attr, echo)
        ctx.cleanups.append(echo.close)
    return getattr(ctx, attr)


def command_and_echo_clients(ctx, warm_up):
    """An authorized client of the service's command port and a client of
    baseline (a), both warmed up with warm_up(client)."""
    client = authorized_client(shared_service(ctx).key)
    echo = Framed(shared_echo(ctx).port)
    for c in (client, echo):
        warm_up(c)
    return client, echo


def interleaved(rounds, *measures):
    """Runs the measures in turn, round after round, so that each sees the same
    load of a shared machine; one list of round results per measure."""
    results = [[] for _ in measures]
    for _ in range(rounds):
        for i, measure in enumerate(measures):
            results[i].append(measure())
    return results


def timed_burst(client, payload, replies):
    """Writes payload in one go while reading; seconds until `replies` frames came back."""
    t0 = time.perf_counter()
    writer = threading.Thread(target=client.sock.sendall, args=(payload,))
    writer.start()
    client.replies(replies)
    writer.join()
    return time.perf_counter() - t0


def cpu_seconds(pid):
    """User and system time of a process so far (Wine runs a Windows program
    as one Unix process)."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def ratio(value, baseline):
    return value / baseline if baseline else None


def run_figures(ctx, figures):
    """The rows of each figure in turn; one that fails is shown as a failed
    row and the others still count."""
    rows = []
    for figure in figures:
        try:
            rows += figure(ctx)
        except Exception as e:
            traceback.print_exc()
            rows.append(ctx.row(figure.__name__ + " could not be measured", repr(e), "", ok=False))
    return rows
