#!/usr/bin/env python3
"""memory_per_key.py — real memory per string key: starts vorel-server on a free
loopback port, loads N keys "key:NNNNNN" with 100-byte values through pipelined
SETs, and prints how much the server's resident memory (VmRSS) grew per key.

With --type hash|set|zset|list it fills ONE key of that type with N elements of
16 bytes instead (hash fields with 16-byte values, set members, sorted-set
members with scores, list elements) through pipelined HSET/SADD/ZADD/RPUSH, and
prints the growth per element beside the bytes the elements' data needs.

usage: python3 bench/memory_per_key.py [--keys N] [--value-size B] [--batch B]
                                       [--type string|hash|set|zset|list]
                                       [--random-scores] [--server build/vorel-server]
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


def command(*args):
    return b"*%d\r\n" % len(args) + b"".join(bulk(a) for a in args)


def read_ok_replies(sock, count, pending, expect=b"+OK"):
    """Reads count one-line replies, each of which must be `expect`; returns leftover bytes."""
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
        if line != expect:
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


ELEMENT_SIZE = 16


def element(tag, i):
    return b"%s:%0*d" % (tag, ELEMENT_SIZE - len(tag) - 1, i)


def zset_score(i, random_scores):
    # Scrambled by an odd multiplier modulo 2**32: distinct, and the same in every run.
    return b"%d" % ((i * 2654435761) % (1 << 32) if random_scores else i)


# Per container type: the request adding element i, the reply it must get
# (None: RPUSH, whose reply is the new length), and the data bytes of one element.
CONTAINERS = {
    "hash": (lambda i, r: command(b"HSET", b"hash", element(b"f", i), element(b"v", i)), b":1", 2 * ELEMENT_SIZE),
    "set": (lambda i, r: command(b"SADD", b"set", element(b"m", i)), b":1", ELEMENT_SIZE),
    "zset": (lambda i, r: command(b"ZADD", b"zset", zset_score(i, r), element(b"m", i)), b":1", ELEMENT_SIZE + 8),
    "list": (lambda i, r: command(b"RPUSH", b"list", element(b"e", i)), None, ELEMENT_SIZE),
}


def load_container(sock, kind, count, batch, random_scores):
    make, expect, _ = CONTAINERS[kind]
    pending = b""
    for start in range(0, count, batch):
        stop = min(start + batch, count)
        sock.sendall(b"".join(make(i, random_scores) for i in range(start, stop)))
        if expect is not None:
            pending = read_ok_replies(sock, stop - start, pending, expect)
            continue
        for i in range(start, stop):  # RPUSH answers the new length
            pending = read_ok_replies(sock, 1, pending, b":%d" % (i + 1))
    return pending


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--keys", type=int, default=1_000_000, help="keys, or elements of the one key with --type")
    ap.add_argument("--value-size", type=int, default=100)
    ap.add_argument("--batch", type=int, default=1000)
    ap.add_argument("--type", choices=["string"] + list(CONTAINERS), default="string")
    ap.add_argument("--random-scores", action="store_true",
                    help="zset: scores in a scrambled order instead of ascending")
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
        if args.type == "string":
            load(sock, args.keys, b"v" * args.value_size, args.batch)
        else:
            load_container(sock, args.type, args.keys, args.batch, args.random_scores)
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
    if args.type != "string":
        data = CONTAINERS[args.type][2]
        print(f"type: {args.type}  elements: {args.keys} (one key)")
        print(f"VmRSS before: {before} bytes, after: {after} bytes, grown: {grown} bytes")
        print(f"bytes per element: {grown / args.keys:.1f}  data bytes per element: {data}  "
              f"overhead per element: {grown / args.keys - data:.1f}")
        return 0
    print(f"keys: {args.keys}  value size: {args.value_size}")
    print(f"VmRSS before: {before} bytes, after: {after} bytes, grown: {grown} bytes")
    print(f"bytes per key: {grown / args.keys:.1f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
