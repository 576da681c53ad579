"""Shared by the vorel-cli tests: a vorel-server on a free loopback port that is
stopped again on leaving, and runs of vorel-cli against it."""
import contextlib
import os
import select
import socket
import subprocess
import time


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@contextlib.contextmanager
def server(server_bin, *args):
    """Starts vorel-server on a free port (a few tries, in case another process
    takes the port first) and yields the port once it accepts connections."""
    for _ in range(5):
        port = free_port()
        proc = subprocess.Popen([server_bin, "--port", str(port), *args],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while proc.poll() is None and time.monotonic() < deadline:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                break
            except OSError:
                time.sleep(0.05)
        if proc.poll() is None:
            break
    else:
        raise RuntimeError("vorel-server did not start")
    try:
        yield port
    finally:
        proc.terminate()
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def run_cli(cli_bin, port, *args, stdin_data=None, timeout=60):
    """One vorel-cli run; returns (exit status, stdout, stderr) as text."""
    done = subprocess.run([cli_bin, "-p", str(port), *args], input=stdin_data,
                          capture_output=True, timeout=timeout)
    return done.returncode, done.stdout.decode(), done.stderr.decode()


def read_until(fd, wanted, then=None, timeout=10):
    """Reads from a file descriptor until `wanted` (bytes) has arrived, and
    `then` after it when given; returns everything read. Raises on time-out or
    end of input."""
    got = b""
    deadline = time.monotonic() + timeout

    def arrived():
        at = got.find(wanted)
        return at >= 0 and (then is None or then in got[at + len(wanted):])

    while not arrived():
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            raise AssertionError(f"timed out waiting for {wanted!r}; got {got!r}")
        try:
            chunk = os.read(fd, 65536)
        except OSError:
            chunk = b""
        if not chunk:
            raise AssertionError(f"input ended before {wanted!r}; got {got!r}")
        got += chunk
    return got


class Failures:
    """Collects failed checks so one run reports all of them."""

    def __init__(self):
        self.items = []
        self.checks = 0

    def expect(self, what, actual, expected):
        self.checks += 1
        if actual != expected:
            self.items.append(f"{what}:\n  expected {expected!r}\n  got      {actual!r}")

    def finish(self, name):
        for item in self.items:
            print("FAIL", item)
        print(f"{name}: {self.checks - len(self.items)} passed, {len(self.items)} failed")
        return 1 if self.items else 0
