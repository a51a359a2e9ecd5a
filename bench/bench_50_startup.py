"""Start-up: from process start to a key file whose three ports accept connections.

Three cases: two with nothing to repair, so no worker starts (the dock's
uninstall entry in order; the dock not installed at all), and one where the
dock's autostart value is machine-wide again before every start, so the
service starts a repair worker copy of itself and waits for it. Beside them,
the start of our minimal echo server under Wine: the floor of starting a
windowed program in this runtime.
"""
import os
import socket
import statistics
import subprocess
import time

import benchlib

DOCK_UPGRADE_CODE = "{7C41A9E3-25D0-4B8F-9E16-3F0B8D52C6A4}"
UNINSTALL_KEY = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall"
MACHINE_RUN_KEY = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run"


def live(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
        return True
    except OSError:
        return False


def start_seconds(svc):
    import marlin_e2e
    t0 = time.perf_counter()
    svc.start(wait=False)

    def ready():
        try:
            with open(svc.prefix.key_file_path, "rb") as f:
                key = marlin_e2e.parse_key_file(f.read().decode("utf-8", "replace"))
        except FileNotFoundError:
            return None
        return key if key and all(live(p) for p in (key.command_port, key.pressure_port, key.apps_port)) else None

    key = benchlib.wait_for(ready, 120, step=0.002)
    seconds = time.perf_counter() - t0
    if key is None:
        raise RuntimeError("no live key file; log:\n" + svc.log()[-2000:])
    svc.key = key
    svc.stop()
    return seconds, "starting maintenance copy" in svc.log()


def echo_start_seconds(prefix):
    port_file = os.path.join(prefix.path, "echo-port.txt")
    if os.path.exists(port_file):
        os.remove(port_file)
    t0 = time.perf_counter()
    proc = prefix.start([os.path.join(benchlib_bin(), "bench_echo_server.exe"), prefix.windows_path(port_file)],
                        os.devnull, os.devnull)
    ok = benchlib.wait_for(lambda: os.path.exists(port_file) and open(port_file).read().strip(), 60, step=0.002)
    seconds = time.perf_counter() - t0
    proc.terminate()
    try:
        proc.wait(10)
    except subprocess.TimeoutExpired:
        proc.kill()
    if not ok:
        raise RuntimeError("echo server did not start")
    return seconds


def benchlib_bin():
    import marlin_e2e
    return marlin_e2e.bin_dir()


def mark_dock_entry_in_order(prefix, work):
    """Installs a package under the dock's upgrade code and marks its uninstall
    entry as a system component, as the repair worker would."""
    import msi_packages
    package = msi_packages.build_package(work, "MarlinDock", DOCK_UPGRADE_CODE)
    result = prefix.run(["msiexec", "/qn", "/i", prefix.windows_path(package)], timeout=120)
    if result.returncode != 0:
        raise RuntimeError("msiexec failed: %s" % result.returncode)
    listing = prefix.reg("query", UNINSTALL_KEY).stdout
    for line in listing.splitlines():
        key = line.strip()
        if key.startswith("HKEY_") and key.rstrip("\\") != UNINSTALL_KEY.replace("HKLM", "HKEY_LOCAL_MACHINE"):
            if prefix.reg_query(key, "DisplayName") == "MarlinDock":
                prefix.reg_add(key, "SystemComponent", "1", kind="REG_DWORD")
                return
    raise RuntimeError("the dock's uninstall entry was not found")


def prepared_service(prefix):
    import marlin_e2e
    svc = marlin_e2e.Service(prefix)
    svc.exe = prefix.install_binaries()
    start_seconds(svc)  # the first start of a prefix also starts Wine's own services
    return svc


def start_with_repair_seconds(svc):
    """A start that has the machine-wide autostart value to move (outside the timed part)."""
    svc.prefix.reg_add(MACHINE_RUN_KEY, "Marlin Dock", "C:\\old\\Marlin Dock.exe")
    return start_seconds(svc)


def run(ctx):
    import marlin_e2e
    runs = 2 if ctx.quick else 7

    prefixes = {}
    for name in ("uninstalled", "in order", "repair"):
        prefixes[name] = marlin_e2e.WinePrefix(log=True)
        ctx.cleanups.append(prefixes[name].close)
    mark_dock_entry_in_order(prefixes["in order"], prefixes["in order"].path)
    uninstalled, in_order, repair = (prepared_service(prefixes[n]) for n in ("uninstalled", "in order", "repair"))

    worker, echo, no_worker, no_dock = benchlib.interleaved(
        runs, lambda: start_with_repair_seconds(repair), lambda: echo_start_seconds(prefixes["uninstalled"]),
        lambda: start_seconds(in_order), lambda: start_seconds(uninstalled))
    echo = statistics.median(echo) * 1e3
    rows = [ctx.row("start-up floor: echo server start under Wine", echo, "ms median")]
    for label, results in (("nothing to repair", no_worker), ("nothing to repair, dock not installed", no_dock),
                           ("with the maintenance worker", worker)):
        ms = statistics.median(r[0] for r in results) * 1e3
        rows.append(ctx.row("start-up to live ports, " + label, ms, "ms median", baseline=echo,
                            ratio=benchlib.ratio(ms, echo),
                            extra={"runs": runs, "worker_started": sum(r[1] for r in results)}))
    return rows
