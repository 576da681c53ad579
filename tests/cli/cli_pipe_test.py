"""vorel-cli --pipe: 100,000 requests in RESP form loaded in one pipelined run,
then command lines (with quoting and a few bad commands), each checked by the
reported counts and by reading the data back.

usage: cli_pipe_test.py VOREL_SERVER VOREL_CLI"""
import sys

from cli_support import Failures, run_cli, server

COUNT = 100_000


def resp(*args):
    out = f"*{len(args)}\r\n"
    for a in args:
        out += f"${len(a.encode())}\r\n{a}\r\n"
    return out


def main():
    server_bin, cli_bin = sys.argv[1], sys.argv[2]
    f = Failures()
    with server(server_bin) as port:
        # Every tenth request appends to a list instead, so the data read back
        # shows the requests ran in order and none was lost.
        requests = "".join(resp("RPUSH", "order", str(i)) if i % 10 == 0 else resp("SET", f"key:{i}", f"v{i}")
                           for i in range(COUNT))
        status, out, err = run_cli(cli_bin, port, "--pipe", stdin_data=requests.encode())
        f.expect("RESP load", (status, out, err), (0, f"replies: {COUNT}, errors: 0\n", ""))
        status, out, _ = run_cli(cli_bin, port, "DBSIZE")
        f.expect("DBSIZE after the load", out, f"(integer) {COUNT - COUNT // 10 + 1}\n")
        status, out, _ = run_cli(cli_bin, port, "--raw", "LRANGE", "order", "0", "-1")
        f.expect("list built in order", out, "".join(f"{i}\n" for i in range(0, COUNT, 10)))
        status, out, _ = run_cli(cli_bin, port, "GET", f"key:{COUNT - 1}")
        f.expect("last key", out, f'"v{COUNT - 1}"\n')

        lines = ["SET 'quoted key' \"two words\"", "", "NOSUCHCOMMAND x", "INCR counter",
                 "INCR 'quoted key'", "GET missing", "NOSUCHCOMMAND y"]
        status, out, err = run_cli(cli_bin, port, "--pipe", stdin_data="\n".join(lines).encode())
        f.expect("line load counts", (status, out), (1, "replies: 6, errors: 3\n"))
        f.expect("errors quoted", err.count("vorel-cli: reply "), 3)
        status, out, _ = run_cli(cli_bin, port, "GET", "quoted key")
        f.expect("quoted arguments", out, '"two words"\n')
    return f.finish("cli pipe")


if __name__ == "__main__":
    sys.exit(main())
