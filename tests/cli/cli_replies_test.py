"""vorel-cli one-shot runs against a real vorel-server: the readable form of
every reply type the server sends, in RESP2 and with --resp3, the --raw form,
push frames of a subscription, authentication, and the exit status.

usage: cli_replies_test.py VOREL_SERVER VOREL_CLI"""
import subprocess
import sys

from cli_support import Failures, free_port, read_until, run_cli, server

SETUP = [
    ["SET", "s", "hello"],
    ["SET", "q", 'a"b\nc\x01'],
    ["RPUSH", "l", "a", "b", "c"],
    ["HSET", "h", "f", "v"],
    ["ZADD", "z", "1.5", "m"],
]

# (command, RESP2 output, RESP3 output or None when the same); exit status 0.
READS = [
    (["GET", "s"], '"hello"', None),
    (["GET", "q"], '"a\\"b\\nc\\x01"', None),
    (["GET", "missing"], "(nil)", None),
    (["STRLEN", "s"], "(integer) 5", None),
    (["PING"], "PONG", None),
    (["LRANGE", "l", "0", "-1"], '1) "a"\n2) "b"\n3) "c"', None),
    (["LRANGE", "missing", "0", "-1"], "(empty array)", None),
    (["SCAN", "0", "MATCH", "l", "COUNT", "100000"], '1) "0"\n2) 1) "l"', None),
    (["HGETALL", "h"], '1) "f"\n2) "v"', '1# "f" => "v"'),
    (["ZSCORE", "z", "m"], '"1.5"', "(double) 1.5"),
    (["ZRANGE", "z", "0", "-1", "WITHSCORES"], '1) "m"\n2) "1.5"', '1) 1) "m"\n   2) (double) 1.5'),
]

# (arguments, output): --raw prints bare values.
RAW = [
    (["GET", "s"], "hello"),
    (["GET", "missing"], ""),
    (["STRLEN", "s"], "5"),
    (["LRANGE", "l", "0", "-1"], "a\nb\nc"),
    (["HGETALL", "h"], "f\nv"),
    (["--resp3", "HGETALL", "h"], "f\nv"),
]


def check_subscription(f, cli_bin, port, resp3):
    """A subscriber prints the confirmation and each message as they come."""
    proto = ["--resp3"] if resp3 else []
    sub = subprocess.Popen([cli_bin, "-p", str(port), *proto, "SUBSCRIBE", "news"],
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    try:
        head = "(push)\n" if resp3 else ""
        confirm = head + '1) "subscribe"\n2) "news"\n3) (integer) 1\n'
        got = read_until(sub.stdout.fileno(), confirm.encode())
        status, out, _ = run_cli(cli_bin, port, "PUBLISH", "news", "hi there")
        f.expect("PUBLISH to one subscriber", (status, out), (0, "(integer) 1\n"))
        message = head + '1) "message"\n2) "news"\n3) "hi there"\n'
        got += read_until(sub.stdout.fileno(), message.encode())
        f.expect(f"subscriber output (resp3={resp3})", got.decode(), confirm + message)
    finally:
        sub.kill()
        sub.wait()


def main():
    server_bin, cli_bin = sys.argv[1], sys.argv[2]
    f = Failures()
    with server(server_bin) as port:
        for cmd in SETUP:
            status, _, err = run_cli(cli_bin, port, *cmd)
            f.expect(f"setup {cmd[0]}", (status, err), (0, ""))
        for cmd, resp2, resp3 in READS:
            for proto, expected in (([], resp2), (["--resp3"], resp3 or resp2)):
                status, out, err = run_cli(cli_bin, port, *proto, *cmd)
                f.expect(" ".join(proto + cmd), (status, out, err), (0, expected + "\n", ""))
        for args, expected in RAW:
            status, out, _ = run_cli(cli_bin, port, "--raw", *args)
            f.expect("--raw " + " ".join(args), (status, out), (0, expected + "\n"))
        # An error reply is printed as such and makes the exit status 1.
        for proto in ([], ["--resp3"]):
            status, out, _ = run_cli(cli_bin, port, *proto, "INCR", "s")
            f.expect("error reply " + " ".join(proto),
                     (status, out), (1, "(error) ERR value is not an integer or out of range\n"))
        for resp3 in (False, True):
            check_subscription(f, cli_bin, port, resp3)
        # Without a command and without a terminal, lines come from standard
        # input with no prompt; an error reply does not end the session.
        status, out, _ = run_cli(cli_bin, port, stdin_data=b"SET piped 'x y'\nINCR piped\n\nGET piped\n")
        f.expect("commands on standard input", (status, out),
                 (0, 'OK\n(error) ERR value is not an integer or out of range\n"x y"\n'))

    with server(server_bin, "--password", "pw") as port:
        for proto in ([], ["--resp3"]):
            status, out, _ = run_cli(cli_bin, port, "-a", "pw", *proto, "GET", "missing")
            f.expect("-a pw " + " ".join(proto), (status, out), (0, "(nil)\n"))
            status, out, err = run_cli(cli_bin, port, "-a", "wrong", *proto, "GET", "missing")
            f.expect("-a wrong " + " ".join(proto), (status, out, "WRONGPASS" in err), (1, "", True))
        status, out, _ = run_cli(cli_bin, port, "GET", "missing")
        f.expect("no password", (status, out.startswith("(error) NOAUTH")), (1, True))

    # Nothing listens on a port just released: a connection failure.
    status, _, err = run_cli(cli_bin, free_port(), "PING")
    f.expect("connection failure", (status, "cannot connect" in err), (1, True))
    status, _, _ = run_cli(cli_bin, 1, "--bogus")
    f.expect("unknown option", status, 2)
    return f.finish("cli replies")


if __name__ == "__main__":
    sys.exit(main())
