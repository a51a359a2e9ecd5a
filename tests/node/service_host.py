#!/usr/bin/python3
"""The real service for the Node suites: MarlinCore.exe in a throw-away prefix (tests/e2e's
harness), with the stand-in tablet driver and the test dock, driven over standard input.

Prints one JSON line once the service runs: {"prefix", "keyFile", "dockTitle"}. Then reads one
JSON request per line and answers each with one JSON line:
  {"op": "wintabctl", "args": [...]}        -> {"code"}   (the stand-in driver's control program)
  {"op": "replay", "script": "in\\n..."}    -> {"code"}   (a stroke for the driver to replay)
  {"op": "message", "class", "message", "wparam", "lparam", "post"} -> {"code"}
  {"op": "waitLog", "text", "timeout"}      -> {"found"}
  {"op": "stop"}                            -> {"code"}   (the service's exit code), then ends
End of input stops everything too.
"""
import json
import os
import shutil
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import marlin_e2e  # noqa: E402

DOCK_TITLE = "Marlin Node Dock"
DOCK_CLASS = "ApolloRuntimeContentWindow"


def answer(value):
    sys.stdout.write(json.dumps(value) + "\n")
    sys.stdout.flush()


def show_log(prefix):
    """The service's log on standard error: what it was doing when it did not end as asked."""
    try:
        with open(prefix.log_path, encoding="utf-8", errors="replace") as f:
            sys.stderr.write("--- the service's log ---\n" + f.read()[-20000:] + "--- end of the log ---\n")
    except OSError as e:
        sys.stderr.write("no service log: %s\n" % e)


def main():
    marlin_e2e.ensure_display()
    driver = os.path.join(marlin_e2e.bin_dir(), "tablet-driver")
    work = tempfile.mkdtemp(prefix="marlin-node-")
    with marlin_e2e.WinePrefix() as prefix:
        shutil.copy2(os.path.join(driver, "wintab32.dll"), marlin_e2e.service_system_dir(prefix))
        prefix.env["WINEDLLOVERRIDES"] = "mscoree,mshtml=;wintab32=n,b"
        ready = os.path.join(work, "dock-ready.txt")
        dock = prefix.start([os.path.join(driver, "testdock.exe"), DOCK_TITLE, prefix.windows_path(ready)],
                            os.path.join(work, "dock.out"), os.path.join(work, "dock.err"))
        service = marlin_e2e.Service(prefix)
        try:
            if not marlin_e2e._wait_until(lambda: os.path.exists(ready), 30):
                raise RuntimeError("the test dock did not start")
            service.start()
            answer({"prefix": prefix.path, "keyFile": prefix.key_file_path, "dockTitle": DOCK_TITLE})
            for line in sys.stdin:
                request = json.loads(line)
                op = request["op"]
                if op == "wintabctl":
                    answer({"code": prefix.run([os.path.join(driver, "wintabctl.exe")] + request["args"]).returncode})
                elif op == "replay":
                    path = os.path.join(work, "stroke.txt")
                    with open(path, "w") as f:
                        f.write(request["script"])
                    result = prefix.run([os.path.join(driver, "wintabctl.exe"), "replay", prefix.windows_path(path)])
                    answer({"code": result.returncode})
                elif op == "message":
                    answer({"code": prefix.send_message(request.get("class", DOCK_CLASS), request["message"],
                                                        request.get("wparam", 0), request.get("lparam", 0),
                                                        post=request.get("post", False))})
                elif op == "waitLog":
                    answer({"found": service.wait_log(request["text"], request.get("timeout", 10))})
                elif op == "stop":
                    code = service.stop()
                    if code != 0:
                        show_log(prefix)
                    answer({"code": code})
                    break
                else:
                    answer({"error": "unknown op %r" % op})
        finally:
            service.stop()
            prefix.send_message(DOCK_CLASS, 0x10, post=True)  # WM_CLOSE
            try:
                dock.wait(15)
            except Exception:
                dock.kill()
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
