#!/usr/bin/env python3
"""Protocol clients for the checks of the Windows program under Wine (scripts/test-windows.sh).

They run on Linux and talk to the program over 127.0.0.1. Each command prints what it sent and
received and what it checked, and exits 0 when every check held. Every wait is bounded.

    client.py free-ports N             N ports free for both TCP and UDP, one per line
    client.py wait-listening PORT      waits until the port accepts connections
    client.py session HOSTPORT SOUNDPORT
        two clients: welcome, login with the voice hello from a second socket, join a channel,
        a channel message and a personal message
    client.py hold HOSTPORT SOUNDPORT READYFILE
        one client logs in, writes READYFILE, then expects "quit" and the end of the connection
"""

import socket
import struct
import sys
import time

PATIENCE = 20.0  # seconds for any one answer
DATAGRAM_BYTES = 150


def require(condition, what):
    """Ends the run when the condition does not hold; silent otherwise."""
    if not condition:
        print("  FAIL  " + what, flush=True)
        sys.exit(1)


def check(condition, what):
    """Like require, and says that the condition held."""
    require(condition, what)
    print("  ok    " + what, flush=True)


class Client:
    """One TCP connection to the host port and one UDP socket for the voice hello."""

    def __init__(self, name, host_port, sound_port):
        self.name = name
        self.sound_port = sound_port
        self.tcp = socket.create_connection(("127.0.0.1", host_port), timeout=PATIENCE)
        self.tcp.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.udp.bind(("127.0.0.1", 0))
        self.udp.settimeout(0.5)
        self.buffer = b""
        self.id = 0

    def send(self, line):
        print(f"  {self.name} > {line}", flush=True)
        self.tcp.sendall(line.encode("latin-1") + b"\r\n")

    def read_line(self):
        """The next line without its CR LF; None when the server closed the connection."""
        deadline = time.monotonic() + PATIENCE
        while b"\n" not in self.buffer:
            self.tcp.settimeout(max(0.1, deadline - time.monotonic()))
            try:
                chunk = self.tcp.recv(4096)
            except socket.timeout:
                require(False, f"{self.name}: a line within {PATIENCE:.0f} s")
            if not chunk:
                print(f"  {self.name} < (connection closed)", flush=True)
                return None
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\n", 1)
        require(line.endswith(b"\r"), f"{self.name}: line ends in CR LF")
        text = line[:-1].decode("latin-1")
        print(f"  {self.name} < {text}", flush=True)
        return text

    def lines_before_pong(self):
        """Everything the server queued for this client before it read a ping."""
        self.send("ping")
        lines = []
        while (line := self.read_line()) != "pong":
            require(line is not None, f"{self.name}: pong")
            lines.append(line)
        return lines

    def welcome(self):
        line = self.read_line()
        check(line is not None and line.startswith("welcome id="), f"{self.name}: welcome")
        self.id = int(line.split()[1][3:])
        return line

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
        require(False, f"{self.name}: voice hello answered within 20 tries")

    def login(self, nick):
        self.welcome()
        self.send('protocol version="2.1"')
        self.hello()
        self.send(f'connect nick="{nick}" password="" bandmode=1 framesize=320 '
                  "encodedframesize=20 fpp=2")
        lines = self.lines_before_pong()
        check(bool(lines) and lines[0].startswith(f'accepted id={self.id} nick="{nick}"'),
              f"{self.name}: accepted")
        return lines

    def closed(self):
        """True when the server closes the connection (after any lines in flight)."""
        while (line := self.read_line()) is not None:
            pass
        return True


def free_ports(count):
    ports, held = [], []
    while len(ports) < count:
        tcp = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        tcp.bind(("127.0.0.1", 0))
        port = tcp.getsockname()[1]
        udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        try:
            udp.bind(("127.0.0.1", port))
        except OSError:
            tcp.close()
            continue
        held += [tcp, udp]
        ports.append(port)
    for s in held:
        s.close()
    print("\n".join(map(str, ports)))


def wait_listening(port):
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=2).close()
            return
        except OSError:
            time.sleep(0.2)
    require(False, f"port {port} accepts connections within 60 s")


def session(host_port, sound_port):
    alice = Client("alice", host_port, sound_port)
    bob = Client("bob", host_port, sound_port)
    alice.login("alice")
    bob.login("bob")
    check(any(l.startswith(f'adduser id={bob.id} nick="bob"') for l in alice.lines_before_pong()),
          "alice hears of bob")

    alice.send('join channel="/room/" password="" topic="talk"')
    lines = alice.lines_before_pong()
    check('joined channel="/room/"' in lines, "alice joined /room/")
    bob.lines_before_pong()
    bob.send('join channel="/room/" password="" topic=""')
    check('joined channel="/room/"' in bob.lines_before_pong(), "bob joined /room/")
    alice.lines_before_pong()

    alice.send('message type=2 message="hello room" channel="/room/"')
    alice.lines_before_pong()
    delivered = f'messagedeliver type=2 from={alice.id} message="hello room" channel="/room/"'
    check(delivered in bob.lines_before_pong(), "bob got alice's channel message")
    bob.send(f'message to={alice.id} type=1 message="hi alice" channel=""')
    bob.lines_before_pong()
    delivered = f'messagedeliver type=1 from={bob.id} message="hi alice" channel="/room/"'
    check(delivered in alice.lines_before_pong(), "alice got bob's personal message")


def hold(host_port, sound_port, ready_file):
    client = Client("carol", host_port, sound_port)
    client.login("carol")
    with open(ready_file, "w") as ready:
        ready.write("ready\n")
    check(client.read_line() == "quit", "carol got quit")
    check(client.closed(), "the server closed carol's connection")


def main(argv):
    command, args = argv[1], argv[2:]
    if command == "free-ports":
        free_ports(int(args[0]))
    elif command == "wait-listening":
        wait_listening(int(args[0]))
    elif command == "session":
        session(int(args[0]), int(args[1]))
    elif command == "hold":
        hold(int(args[0]), int(args[1]), args[2])
    else:
        sys.exit(f"unknown command {command}")


if __name__ == "__main__":
    main(sys.argv)
