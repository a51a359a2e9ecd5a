"""Helper of test_service.py, run inside a private network namespace.

Takes every port of the service's range on 127.0.0.1, starts MarlinCore.exe in
a prefix of its own (its wineserver, which owns Wine's sockets, starts inside
this namespace too), waits for it to end and prints one JSON line: the exit
code, whether a key file was written and the log.
"""

import json
import os
import socket
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import marlin_e2e  # noqa: E402


def main():
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True, timeout=10)
    held = []
    for port in range(3400, 3656):
        s = socket.socket()
        s.bind(("127.0.0.1", port))
        s.listen(1)
        held.append(s)
    with marlin_e2e.WinePrefix() as prefix:
        service = marlin_e2e.Service(prefix)
        service.start(wait=False)
        code = service.wait_exit(120)
        if code is None:
            prefix.kill()
        print(json.dumps({"exit_code": code, "key_file": os.path.exists(prefix.key_file_path),
                          "log": service.log()}))
    for s in held:
        s.close()


if __name__ == "__main__":
    main()
