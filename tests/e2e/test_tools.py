"""The developer's tools against the real service: the console client and ./marlin serve."""

import fcntl
import os
import signal
import subprocess
import sys
import time

import marlin_e2e

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CLI = os.path.join(ROOT, "tools", "marlin-cli")
DEMO = os.path.join(ROOT, "tools", "demo")


def cli(*args):
    return subprocess.run([sys.executable, CLI] + list(args), stdin=subprocess.DEVNULL, capture_output=True,
                          text=True, timeout=60)


def replies(output):
    return [line for line in output.splitlines() if line.startswith("< ")]


def test_console_client_matches_replies_and_says_what_went_wrong(prefix, service):
    key_file = prefix.key_file_path
    # The device report that follows authOk is never taken for the next reply.
    for _ in range(5):
        result = cli("--key-file", key_file, "getCoreVersion", "platform")
        assert result.returncode == 0, result.stdout + result.stderr
        assert replies(result.stdout) == ["< authOk", "< Success CoreVersion=2.06.0", "< Success WIN32"]
        assert "* CurrentAttachedDevices=" in result.stdout

    # exit ends the client at once; nothing after it is sent.
    result = cli("--key-file", key_file, "exit", "platform")
    assert result.returncode == 0
    assert replies(result.stdout) == ["< authOk", "< QuitAcknowledged"]

    with service.command():
        result = cli("--key-file", key_file, "platform")
        assert result.returncode == 3
        assert "another client holds the command port" in result.stderr

    assert service.stop() == 0
    result = cli("--key-file", key_file, "platform")
    assert result.returncode == 4
    assert "the service is not running" in result.stderr and "written" in result.stderr


def test_serve_runs_until_ctrl_c_and_a_second_one_leaves_it_alone(tmp_path):
    # Help is printed before anything is built or started.
    usage = subprocess.run([os.path.join(ROOT, "marlin"), "serve", "--help"], capture_output=True, text=True,
                           timeout=30)
    assert usage.returncode == 0 and usage.stdout.startswith("usage: ./marlin serve")

    prefix = str(tmp_path / "prefix")
    out = tmp_path / "serve.out"
    err = tmp_path / "serve.err"
    env = dict(os.environ)
    env.pop("WINEPREFIX", None)
    with open(out, "wb") as o, open(err, "wb") as e:
        # A session of its own, so the Ctrl-C below reaches its whole group as a terminal's would.
        first = subprocess.Popen([sys.executable, DEMO, "serve", "--prefix", prefix], stdout=o, stderr=e,
                                 stdin=subprocess.DEVNULL, env=env, start_new_session=True)
    try:
        assert marlin_e2e._wait_until(lambda: b"stops it" in out.read_bytes() or first.poll() is not None, 90)
        assert b"stops it" in out.read_bytes(), err.read_text()
        text = out.read_text()
        for line in ("command port", "pressure port", "apps port", "key file", "log"):
            assert "  " + line in text

        second = subprocess.run([sys.executable, DEMO, "serve", "--prefix", prefix], capture_output=True,
                                text=True, timeout=30, env=env)
        assert second.returncode == 1
        assert "already runs in %s" % prefix in second.stderr

        result = cli("--prefix", prefix, "getCoreVersion")
        assert replies(result.stdout)[-1] == "< Success CoreVersion=2.06.0"

        os.killpg(first.pid, signal.SIGINT)
        assert first.wait(60) == 0, err.read_text()
        assert "the service stopped (exit code 0)" in err.read_text()
    finally:
        if first.poll() is None:
            os.killpg(first.pid, signal.SIGKILL)
            first.wait(10)
    with open(prefix + ".lock") as lock:  # released
        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
