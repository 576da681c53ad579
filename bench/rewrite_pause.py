#!/usr/bin/env python3
"""rewrite_pause.py — what a log rewrite costs the clients, and how fast the
compacted log replays: starts vorel-server with an append-only file in a
temporary folder, loads N keys of mixed types (70 % strings, then hashes, sets,
sorted sets and lists of 8 elements each), then measures one client's request
round trips (GET in a closed loop) while BGREWRITEAOF runs, and prints the
longest round trip and the 99.9th percentile. Last, it stops the server and
times a restart on the compacted log until the first PING is answered.

usage: python3 bench/rewrite_pause.py [--keys N] [--server build/vorel-server]
Linux only (the long round trips are the worker's pauses plus the loopback).
"""
import argparse
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_SERVER = os.path.join(HERE, "..", "build", "vorel-server")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def encode(*args):
    out = [b"*%d\r\n" % len(args)]
    for a in args:
        a = a if isinstance(a, bytes) else str(a).encode()
        out.append(b"$%d\r\n%s\r\n" % (len(a), a))
    return b"".join(out)


class Conn:
    def __init__(self, port, deadline_s=60.0):
        end = time.time() + deadline_s
        while True:
            try:
                self.s = socket.create_connection(("127.0.0.1", port))
                break
            except OSError:
                if time.time() > end:
                    raise
                time.sleep(0.002)
        self.s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.buf = b""

    def _line(self):
        while b"\r\n" not in self.buf:
            chunk = self.s.recv(1 << 20)
            if not chunk:
                raise RuntimeError("connection closed")
            self.buf += chunk
        line, self.buf = self.buf.split(b"\r\n", 1)
        return line

    def reply(self):
        """One reply, nested arrays flattened away; returns the first line or bulk."""
        line = self._line()
        kind = line[:1]
        if kind == b"$":
            n = int(line[1:])
            if n < 0:
                return None
            while len(self.buf) < n + 2:
                self.buf += self.s.recv(1 << 20)
            data, self.buf = self.buf[:n], self.buf[n + 2:]
            return data
        if kind == b"*":
            for _ in range(int(line[1:])):
                self.reply()
            return line
        if kind == b"-":
            raise RuntimeError(line.decode())
        return line

    def call(self, *args):
        self.s.sendall(encode(*args))
        return self.reply()

    def pipeline(self, requests):
        self.s.sendall(b"".join(encode(*r) for r in requests))
        for _ in requests:
            self.reply()


def load(conn, keys):
    batch = []
    members = [b"m%d" % i for i in range(8)]
    for i in range(keys):
        kind = i % 10
        if kind < 7:
            batch.append((b"SET", b"s:%d" % i, b"v" * 100))
        elif kind == 7:
            batch.append((b"HSET", b"h:%d" % i) + sum(((m, b"x" * 16) for m in members), ()))
        elif kind == 8:
            batch.append((b"ZADD", b"z:%d" % i) + sum(((b"%d" % j, m) for j, m in enumerate(members)), ()))
        else:
            batch.append((b"SADD" if i % 20 == 9 else b"RPUSH", b"c:%d" % i) + tuple(members))
        if len(batch) == 2000:
            conn.pipeline(batch)
            batch = []
    if batch:
        conn.pipeline(batch)


def info_field(conn, name):
    text = conn.call("INFO", "persistence").decode()
    for line in text.split("\r\n"):
        if line.startswith(name + ":"):
            return line.split(":", 1)[1]
    return ""


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--keys", type=int, default=1_000_000)
    ap.add_argument("--server", default=DEFAULT_SERVER)
    args = ap.parse_args()
    folder = tempfile.mkdtemp(prefix="vorel-rewrite-")
    log = os.path.join(folder, "bench.aof")
    port = free_port()
    cmd = [args.server, "--port", str(port), "--aof", log, "--appendfsync", "everysec"]
    proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        conn = Conn(port)
        t0 = time.time()
        load(conn, args.keys)
        print(f"loaded {args.keys} keys in {time.time() - t0:.1f} s, log {os.path.getsize(log) >> 20} MiB")

        probe = Conn(port)
        samples = []
        conn.call("BGREWRITEAOF")
        started = time.perf_counter()
        while True:
            for _ in range(200):
                t = time.perf_counter()
                probe.call("GET", "s:1")
                samples.append(time.perf_counter() - t)
            if info_field(conn, "aof_rewrite_in_progress") == "0":
                break
        took = time.perf_counter() - started
        samples.sort()
        p999 = samples[min(len(samples) - 1, int(len(samples) * 0.999))]
        print(f"rewrite took {took:.2f} s, status {info_field(conn, 'aof_last_bgrewrite_status')}, "
              f"log {os.path.getsize(log) >> 20} MiB")
        print(f"round trips during the rewrite: {len(samples)}, longest {samples[-1] * 1000:.2f} ms, "
              f"p99.9 {p999 * 1000:.2f} ms, median {samples[len(samples) // 2] * 1000:.3f} ms")
        keys_before = conn.call("DBSIZE")
        proc.terminate()
        proc.wait(timeout=60)

        t0 = time.perf_counter()
        proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        again = Conn(port)
        again.call("PING")
        replay = time.perf_counter() - t0
        keys_after = again.call("DBSIZE")
        print(f"restart on the compacted log until the first PING: {replay:.2f} s "
              f"(keys {keys_before.decode()} before, {keys_after.decode()} after)")
        return 0 if keys_before == keys_after else 1
    finally:
        proc.terminate()
        try:
            proc.wait(timeout=60)
        except subprocess.TimeoutExpired:
            proc.kill()
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
