"""Crash consistency: vorel-server with an append-only file runs a concurrent write
load over every value type and is killed with SIGKILL at random moments, several
rounds on the same file. After each restart every write whose reply was received
must be present, and nothing may appear that was never sent. A transaction writer
runs alongside (two counters around a large value, in one MULTI/EXEC): after a
restart both counters agree. Log rewrites (BGREWRITEAOF) are asked for over and
over, so kills also land inside rewrites and around the switch to the new file.
A second server on the same file is refused and leaves the file as it was.

usage: crash_consistency.py <vorel-server> [rounds]"""
import os
import random
import signal
import subprocess
import sys
import tempfile
import threading
import time

from resp import Conn, RespError, free_port


def start(server, port, aof):
    proc = subprocess.Popen([server, "--port", str(port), "--aof", aof],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    deadline = time.time() + 60
    while time.time() < deadline:
        try:
            c = Conn(port, timeout=5)
            if c.call("PING") == "PONG":
                return proc, c
        except OSError:
            time.sleep(0.05)
    proc.kill()
    raise SystemExit("server did not come up")


class Writer(threading.Thread):
    """Writes its own keys of every type; remembers what was sent and what was acknowledged."""

    def __init__(self, port, wid, state):
        super().__init__(daemon=True)
        self.port, self.wid, self.state = port, wid, state

    def run(self):
        st = self.state
        try:
            c = Conn(self.port, timeout=5)
            while True:
                i = st["next"]
                st["next"] += 1
                w = self.wid
                ops = [
                    ("string", ("SET", "str:%d:%d" % (w, i), "v%d" % i)),
                    ("list", ("RPUSH", "list:%d" % w, "item%d" % i)),
                    ("hash", ("HSET", "hash:%d" % w, "f%d" % i, "v%d" % i)),
                    ("set", ("SADD", "set:%d" % w, "m%d" % i)),
                    ("zset", ("ZADD", "zset:%d" % w, str(i), "z%d" % i)),
                    ("counter", ("INCR", "counter:%d" % w)),
                ]
                kind, args = ops[i % len(ops)]
                st["sent"].append((kind, args))
                reply = c.call(*args)
                if isinstance(reply, RespError):
                    raise SystemExit("error reply %s to %r" % (reply, args))
                st["acked"].append((kind, args))
        except (OSError, ConnectionError):
            return  # the server was killed


class TxWriter(threading.Thread):
    """Runs MULTI, INCR tx:a, SET tx:big <256 KiB>, INCR tx:b, EXEC until killed."""

    def __init__(self, port, state):
        super().__init__(daemon=True)
        self.port, self.state = port, state

    def run(self):
        try:
            c = Conn(self.port, timeout=5)
            big = "x" * (1 << 18)
            while True:
                self.state["sent"] += 1
                c.call("MULTI")
                c.call("INCR", "tx:a")
                c.call("SET", "tx:big", big)
                c.call("INCR", "tx:b")
                reply = c.call("EXEC")
                if isinstance(reply, RespError) or not isinstance(reply, list):
                    raise SystemExit("error reply %r to EXEC" % (reply,))
                self.state["acked"] += 1
        except (OSError, ConnectionError):
            return


class Rewriter(threading.Thread):
    """Asks for a log rewrite every few tens of milliseconds until the server dies."""

    def __init__(self, port, rng):
        super().__init__(daemon=True)
        self.port, self.delay = port, [rng.uniform(0.01, 0.08) for _ in range(1000)]

    def run(self):
        try:
            c = Conn(self.port, timeout=5)
            for d in self.delay:
                c.call("BGREWRITEAOF")  # "already in progress" is fine
                time.sleep(d)
        except (OSError, ConnectionError):
            return


def verify_tx(port, tx):
    c = Conn(port)
    a, b = int(c.call("GET", "tx:a") or 0), int(c.call("GET", "tx:b") or 0)
    c.close()
    if a != b:
        return ["a transaction was half applied: tx:a %d, tx:b %d" % (a, b)]
    if not tx["acked"] <= a <= tx["sent"]:
        return ["tx:a is %d, acknowledged %d, sent %d" % (a, tx["acked"], tx["sent"])]
    return []


def second_server_refused(server, aof):
    """A second server on the held file must fail at once and leave the file as it was."""
    before = open(aof, "rb").read()
    out = subprocess.run([server, "--port", str(free_port()), "--aof", aof], stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT, timeout=30)
    after = open(aof, "rb").read()
    problems = []
    if out.returncode == 0 or b"append-only file is in use" not in out.stdout:
        problems.append("second server was not refused: rc %d, %r" % (out.returncode, out.stdout[-200:]))
    if after != before:
        problems.append("second server changed the file (%d -> %d bytes)" % (len(before), len(after)))
    return problems


def verify(port, states):
    c = Conn(port)
    problems = []
    for w, st in enumerate(states):
        sent, acked = st["sent"], st["acked"]
        sent_by_kind = {}
        for kind, args in sent:
            sent_by_kind.setdefault(kind, []).append(args)
        acked_set = set(args for _, args in acked)
        # Strings: every acknowledged SET holds its value; no other str: keys of this writer.
        for args in sent_by_kind.get("string", []):
            got = c.call("GET", args[1])
            if args in acked_set and got != args[2].encode():
                problems.append("acknowledged %r missing (got %r)" % (args, got))
            if got is not None and got != args[2].encode():
                problems.append("%s holds %r, never written" % (args[1], got))
        # List: every acknowledged push is there, and the items are pushes that
        # were sent, in the order they were sent (a push in flight at a kill may
        # or may not have made it).
        items = c.call("LRANGE", "list:%d" % w, 0, -1) or []
        present = set(items)
        sent_items = [a[2].encode() for a in sent_by_kind.get("list", [])]
        acked_items = [a[2].encode() for a in sent_by_kind.get("list", []) if a in acked_set]
        if [x for x in sent_items if x in present] != items or not set(acked_items) <= present:
            problems.append("list:%d is %r, acknowledged %r" % (w, items[-3:], acked_items[-3:]))
        for kind, cmd, key in (("hash", "HKEYS", "hash:%d"), ("set", "SMEMBERS", "set:%d"),
                               ("zset", "ZRANGE", "zset:%d")):
            present = set(c.call(*( (cmd, key % w) if cmd != "ZRANGE" else (cmd, key % w, 0, -1))) or [])
            sent_m = set(a[2].encode() if kind != "zset" else a[3].encode() for a in sent_by_kind.get(kind, []))
            acked_m = set(a[2].encode() if kind != "zset" else a[3].encode()
                          for a in sent_by_kind.get(kind, []) if a in acked_set)
            if not acked_m <= present:
                problems.append("%s lost %d acknowledged members" % (key % w, len(acked_m - present)))
            if not present <= sent_m:
                problems.append("%s holds members never written" % (key % w))
        counter = int(c.call("GET", "counter:%d" % w) or 0)
        n_acked = sum(1 for k, a in acked if k == "counter")
        n_sent = len(sent_by_kind.get("counter", []))
        if not n_acked <= counter <= n_sent:
            problems.append("counter:%d is %d, acknowledged %d, sent %d" % (w, counter, n_acked, n_sent))
    c.close()
    return problems


def main():
    server = sys.argv[1]
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    rng = random.Random(int(os.environ.get("VOREL_CRASH_SEED", time.time())))
    workdir = tempfile.mkdtemp(prefix="vorel_crash_")
    aof = os.path.join(workdir, "log.aof")
    writers = 4
    states = [{"next": 0, "sent": [], "acked": []} for _ in range(writers)]
    tx = {"sent": 0, "acked": 0}
    proc = None
    try:
        for r in range(rounds):
            port = free_port()
            proc, _ = start(server, port, aof)
            problems = verify(port, states) + verify_tx(port, tx)
            if r == 1:
                problems += second_server_refused(server, aof)
            if problems:
                raise SystemExit("round %d after restart:\n  %s" % (r, "\n  ".join(problems[:10])))
            threads = [Writer(port, w, states[w]) for w in range(writers)] + [TxWriter(port, tx),
                                                                                 Rewriter(port, rng)]
            for t in threads:
                t.start()
            time.sleep(rng.uniform(0.2, 1.0))
            proc.send_signal(signal.SIGKILL)
            proc.wait()
            for t in threads:
                t.join(10)
            # A write in flight when the server died was sent, maybe not acknowledged.
        port = free_port()
        proc, _ = start(server, port, aof)
        problems = verify(port, states) + verify_tx(port, tx)
        proc.kill()
        proc.wait()
        if problems:
            raise SystemExit("final check:\n  %s" % "\n  ".join(problems[:10]))
        total = sum(len(s["acked"]) for s in states)
        print("crash consistency: %d rounds, %d acknowledged writes and %d transactions verified"
              % (rounds, total, tx["acked"]))
        print("1 passed, 0 failed")
    finally:
        # A failed check must not leave a server running behind the test.
        if proc is not None and proc.poll() is None:
            proc.kill()
            proc.wait()
        for name in os.listdir(workdir):
            os.remove(os.path.join(workdir, name))
        os.rmdir(workdir)


if __name__ == "__main__":
    main()
