#!/usr/bin/env python3
"""Loopback clients of the program for scripts/test-windows.sh, and free ports for the script
checks. Each command prints what it sent, received and checked, and exits 0 when every check
held; every wait is bounded.

    client.py free-ports N             N ports free for both TCP and UDP, on one line
    client.py wait-listening PORT      waits until the port accepts connections
    client.py session HOSTPORT SOUNDPORT READYFILE
        two clients log in with the voice hello and join a channel, one sees the other join;
        then it writes READYFILE, and each client expects "quit" and the end of its connection
"""

import socket
import struct
import sys
import time

PATIENCE = 20.0  # seconds for any one answer
DATAGRAM_BYTES = 150


def check(condition, what):
    print(("  ok    " if condition else "  FAIL  ") + what, flush=True)
    if not condition:
        sys.exit(1)


class Client:
    """One TCP connection to the host port and one UDP socket for the voice hello."""

    def __init__(self, name, host_port, sound_port):
        self.name = name
        self.sound_port = sound_port
        self.tcp = socket.create_connection(("127.0.0.1", host_port), timeout=PATIENCE)
        self.tcp.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.lines = self.tcp.makefile("rb")
        self.udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.udp.bind(("127.0.0.1", 0))
        self.udp.settimeout(0.5)
        self.id = 0

    def send(self, line):
        print(f"  {self.name} > {line}", flush=True)
        self.tcp.sendall(line.encode("latin-1") + b"\r\n")

    def read_line(self, patience=PATIENCE):
        """The next line without its CR LF; None when the server closed the connection."""
        self.tcp.settimeout(patience)
        try:
            line = self.lines.readline()
        except socket.timeout:
            check(False, f"{self.name}: a line within {patience:.0f} s")
        print(f"  {self.name} < {line[:-2].decode('latin-1') if line else '(connection closed)'}",
              flush=True)
        if line and not line.endswith(b"\r\n"):
            check(False, f"{self.name}: line ends in CR LF")
        return line[:-2].decode("latin-1") if line else None

    def lines_before_pong(self):
        """Everything the server queued for this client before it read a ping."""
        self.send("ping")
        lines = []
        while (line := self.read_line()) != "pong":
            if line is None:
                check(False, f"{self.name}: pong")
            lines.append(line)
        return lines

    def hello(self):
        """The voice hello (kind 1, confirming) until the server answers (kind 2)."""
        hello = struct.pack("<BBH", 1, 2, self.id).ljust(DATAGRAM_BYTES, b"\0")
        for _ in range(20):
            self.udp.sendto(hello, ("127.0.0.1", self.sound_port))
            try:
                reply = self.udp.recv(2048)
            except socket.timeout:
                continue
            check(len(reply) == DATAGRAM_BYTES and reply[0] == 2,
                  f"{self.name}: voice hello answered from the sound port")
            return
        check(False, f"{self.name}: voice hello answered within 20 tries")

    def login(self, nick):
        line = self.read_line()
        check(line is not None and line.startswith("welcome id="), f"{self.name}: welcome")
        self.id = int(line.split()[1][3:])
        self.send('protocol version="2.1"')
        self.hello()
        self.send(f'connect nick="{nick}" password="" bandmode=1 framesize=320 '
                  "encodedframesize=20 fpp=2")
        lines = self.lines_before_pong()
        check(bool(lines) and lines[0].startswith(f'accepted id={self.id} nick="{nick}"'),
              f"{self.name}: accepted")


def free_ports(count):
    ports, held = [], []  # held until the end, so that no port comes twice
    while len(ports) < count:
        tcp, udp = socket.socket(), socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        tcp.bind(("127.0.0.1", 0))
        try:
            udp.bind(("127.0.0.1", tcp.getsockname()[1]))
        except OSError:
            continue
        held += [tcp, udp]
        ports.append(tcp.getsockname()[1])
    print(*ports)


def wait_listening(port):
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=2).close()
            return
        except OSError:
            time.sleep(0.2)
    check(False, f"port {port} accepts connections within 60 s")


def session(host_port, sound_port, ready_file):
    clients = [Client(name, host_port, sound_port) for name in ("alice", "bob")]
    for client in clients:
        client.login(client.name)
        client.send('join channel="/room/" password="" topic=""')
        check('joined channel="/room/"' in client.lines_before_pong(),
              f"{client.name} joined /room/")
    check(any(f" id={clients[1].id} " in line and 'channel="/room/"' in line
              for line in clients[0].lines_before_pong()), "alice saw bob in /room/")
    open(ready_file, "w").close()
    # The script stops the server when it has checked what it needs from it.
    for client in clients:
        check(client.read_line(patience=600) == "quit", f"{client.name} got quit")
        while client.read_line() is not None:
            pass


def main(argv):
    commands = {"free-ports": free_ports, "wait-listening": wait_listening, "session": session}
    if len(argv) < 2 or argv[1] not in commands:
        sys.exit(f"usage: client.py {'|'.join(commands)} ARGUMENT...")
    commands[argv[1]](*(int(a) if a.isdigit() else a for a in argv[2:]))


if __name__ == "__main__":
    main(sys.argv)
