#!/usr/bin/env python3
"""memory_per_key.py — real memory per string key: starts vorel-server on a free
loopback port, loads N keys "key:NNNNNN" with 100-byte values through pipelined
SETs, and prints how much the server's resident memory (VmRSS) grew per key.

usage: python3 bench/memory_per_key.py [--keys N] [--value-size B] [--batch B]
                                       [--server build/vorel-server]
Linux only (reads /proc/<pid>/status).
"""
import argparse
import os
import socket
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_SERVER = os.path.join(HERE, "..", "build", "vorel-server")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def vm_rss_bytes(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmRSS line")


def connect(port, proc):
    deadline = time.time() + 10
    while time.time() < deadline:
        if proc.poll() is not None:
            raise RuntimeError("server exited early")
        try:
            return socket.create_connection(("127.0.0.1", port))
        except OSError:
            time.sleep(0.05)
    raise RuntimeError("server did not accept connections")


def bulk(data):
    return b"$%d\r\n%s\r\n" % (len(data), data)


def set_request(key, value):
    return b"*3\r\n" + bulk(b"SET") + bulk(key) + bulk(value)


def read_ok_replies(sock, count, pending):
    """Reads count replies, each of which must be +OK; returns leftover bytes."""
    buf = pending
    seen = 0
    while seen < count:
        end = buf.find(b"\r\n")
        if end < 0:
            chunk = sock.recv(1 << 16)
            if not chunk:
                raise RuntimeError("connection closed")
            buf += chunk
            continue
        line = buf[:end]
        if line != b"+OK":
            raise RuntimeError(f"unexpected reply {line!r}")
        buf = buf[end + 2:]
        seen += 1
    return buf


def load(sock, keys, value, batch):
    pending = b""
    for start in range(0, keys, batch):
        stop = min(start + batch, keys)
        req = b"".join(set_request(b"key:%06d" % i, value) for i in range(start, stop))
        sock.sendall(req)
        pending = read_ok_replies(sock, stop - start, pending)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--keys", type=int, default=1_000_000)
    ap.add_argument("--value-size", type=int, default=100)
    ap.add_argument("--batch", type=int, default=1000)
    ap.add_argument("--server", default=DEFAULT_SERVER)
    args = ap.parse_args()

    port = free_port()
    proc = subprocess.Popen([args.server, "--port", str(port)], stdout=subprocess.DEVNULL)
    try:
        sock = connect(port, proc)
        sock.sendall(b"*1\r\n$4\r\nPING\r\n")
        if not sock.recv(64).startswith(b"+PONG"):
            raise RuntimeError("no PONG")
        before = vm_rss_bytes(proc.pid)
        load(sock, args.keys, b"v" * args.value_size, args.batch)
        after = vm_rss_bytes(proc.pid)
        sock.close()
    finally:
        proc.terminate()
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    grown = after - before
    print(f"keys: {args.keys}  value size: {args.value_size}")
    print(f"VmRSS before: {before} bytes, after: {after} bytes, grown: {grown} bytes")
    print(f"bytes per key: {grown / args.keys:.1f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
