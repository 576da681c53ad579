"""vorel-cli at its prompt, driven through a pseudo-terminal as a person would:
it types commands and reads the formatted replies; with line editing built in
it also recalls the previous command with the Up key and finds the history
file written after quitting.

usage: cli_interactive_test.py VOREL_SERVER VOREL_CLI LINE_EDITING(ON|OFF)"""
import os
import pty
import subprocess
import sys
import tempfile

from cli_support import Failures, read_until, server

UP = b"\x1b[A"


def main():
    server_bin, cli_bin, editing = sys.argv[1], sys.argv[2], sys.argv[3] == "ON"
    f = Failures()
    with server(server_bin) as port, tempfile.TemporaryDirectory() as home:
        prompt = f"127.0.0.1:{port}> ".encode()
        master, slave = pty.openpty()
        env = dict(os.environ, HOME=home, TERM="xterm")
        cli = subprocess.Popen([cli_bin, "-p", str(port)], stdin=slave, stdout=slave, stderr=slave,
                               env=env, close_fds=True)
        os.close(slave)
        try:
            def type_line(text):
                os.write(master, text + b"\r")

            # Each reply is followed by the next prompt.
            def command(line, reply):
                type_line(line)
                got = read_until(master, reply, then=prompt)
                f.expect(line.decode(), reply in got, True)

            read_until(master, prompt)
            command(b'RPUSH fruit apple "passion fruit"', b"(integer) 2\r\n")
            command(b"LRANGE fruit 0 -1", b'1) "apple"\r\n2) "passion fruit"\r\n')
            command(b"GET nothing", b"(nil)\r\n")
            command(b"LPOP", b"(error) ERR wrong number of arguments")
            if editing:
                # Up three times steps back over LPOP and GET to LRANGE.
                os.write(master, UP + UP + UP)
                command(b"", b'1) "apple"\r\n2) "passion fruit"\r\n')
            type_line(b"quit")
            f.expect("exit status", cli.wait(timeout=10), 0)
            if editing:
                # libedit writes a space inside a history line as \040.
                with open(os.path.join(home, ".vorel_cli_history"), encoding="utf-8", errors="replace") as h:
                    saved = h.read().replace("\\040", " ")
                f.expect("history file", "LRANGE fruit 0 -1" in saved, True)
        finally:
            if cli.poll() is None:
                cli.kill()
                cli.wait()
            os.close(master)
    return f.finish("cli interactive")


if __name__ == "__main__":
    sys.exit(main())
