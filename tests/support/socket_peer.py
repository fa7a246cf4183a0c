#!/usr/bin/env python3
"""The socket tests' peer: a loopback program the tests drive line by line.

Start:  socket_peer.py [--connect PORT] [--lifetime SECONDS]
  Without --connect it listens on a loopback control port, prints
  "PORT <n>" on stdout (flushed) and takes the first connection as its
  control connection. With --connect it connects to 127.0.0.1:PORT
  instead (for starters that cannot read its output, such as a Windows
  program under Wine starting a Linux python). It exits when the control
  connection closes (or none comes within 60 s), or after
  --lifetime seconds (default 600), so it never outlives a hung test.

Commands, one line each, one reply line each: "OK ..." or "ERR <text>".
Ids name TCP connections, TCP listeners and UDP sockets alike.
  listen [port]                 -> OK <id> <port>   accepts in the background
  accepted <listen-id> <ms>     -> OK <id>          next accepted connection
  connect <port>                -> OK <id>
  send <id> <n> <seed>          -> OK <n>           n bytes of the pattern
  sendhex <id> <hex>            -> OK <n>
  recv <id> <n> <ms>            -> OK <count> <hex>  up to n bytes; count 0: the
                                                    end, -1: nothing in time
  sink <id> / count <id>        -> OK / OK <bytes> <sum>  reads in the background
  echo <id>                     -> OK               echoes in the background
  pause <id> / resume <id>      -> OK               stops/starts a sink or echo
                                                    (after the read under way)
  shutdown <id>                 -> OK               half-close (SHUT_WR)
  reset <id>                    -> OK               SO_LINGER 0 s, close: a reset
  close <id>                    -> OK
  udp [port] [addr]             -> OK <id> <port>
  udpsend <id> <host> <port> <n> <seed> -> OK <n>
  udprecv <id> <ms>             -> OK <len> <srcport> <hex>
  quit                          -> OK, then exits
Hex dumps show at most the first 256 bytes ("-" when empty).
The pattern: byte i of n is (seed + i * 7) & 0xFF. The sum: the sum of all
bytes received, modulo 2**32.
"""
import os
import select
import socket
import struct
import sys
import threading

LOOPBACK = "127.0.0.1"


def dump(data):
    return data[:256].hex() or "-"


def pattern(n, seed):
    return bytes((seed + i * 7) & 0xFF for i in range(n))


class Peer:
    def __init__(self):
        self.lock = threading.Lock()
        self.objects = {}
        self.queues = {}        # listen id -> accepted ids
        self.counts = {}        # id -> [bytes, sum]
        self.paused = {}        # id -> threading.Event (set: reading allowed)
        self.next_id = 1
        self.changed = threading.Condition(self.lock)

    def add(self, obj):
        with self.lock:
            ident = self.next_id
            self.next_id += 1
            self.objects[ident] = obj
            return ident

    def get(self, ident):
        with self.lock:
            return self.objects[int(ident)]

    def accept_loop(self, ident, listener):
        while True:
            try:
                conn, _ = listener.accept()
            except OSError:
                return
            new = self.add(conn)
            with self.lock:
                self.queues[ident].append(new)
                self.changed.notify_all()

    def reader(self, ident, conn, echo):
        gate = self.paused[ident]
        while True:
            gate.wait()
            try:
                data = conn.recv(65536)
            except OSError:
                return
            if not data:
                return
            with self.lock:
                c = self.counts[ident]
                c[0] += len(data)
                c[1] = (c[1] + sum(data)) & 0xFFFFFFFF
            if echo:
                try:
                    conn.sendall(data)
                except OSError:
                    return

    def background(self, ident, echo):
        conn = self.get(ident)
        with self.lock:
            self.counts[ident] = [0, 0]
            self.paused[ident] = threading.Event()
            self.paused[ident].set()
        threading.Thread(target=self.reader, args=(ident, conn, echo), daemon=True).start()

    def run(self, words):
        cmd, args = words[0], words[1:]
        if cmd == "listen":
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            s.bind((LOOPBACK, int(args[0]) if args else 0))
            s.listen(64)
            ident = self.add(s)
            with self.lock:
                self.queues[ident] = []
            threading.Thread(target=self.accept_loop, args=(ident, s), daemon=True).start()
            return "%d %d" % (ident, s.getsockname()[1])
        if cmd == "accepted":
            ident, ms = int(args[0]), int(args[1])
            with self.lock:
                if not self.changed.wait_for(lambda: self.queues[ident], ms / 1000.0):
                    raise TimeoutError("no connection")
                return str(self.queues[ident].pop(0))
        if cmd == "connect":
            s = socket.create_connection((LOOPBACK, int(args[0])), timeout=10)
            s.settimeout(None)
            return str(self.add(s))
        if cmd == "send":
            data = pattern(int(args[1]), int(args[2]))
            self.get(args[0]).sendall(data)
            return str(len(data))
        if cmd == "sendhex":
            data = bytes.fromhex(args[1])
            self.get(args[0]).sendall(data)
            return str(len(data))
        if cmd == "recv":
            conn, n, ms = self.get(args[0]), int(args[1]), int(args[2])
            if not select.select([conn], [], [], ms / 1000.0)[0]:
                return "-1 -"
            data = conn.recv(n)
            return "%d %s" % (len(data), dump(data))
        if cmd in ("sink", "echo"):
            self.background(int(args[0]), cmd == "echo")
            return ""
        if cmd == "count":
            with self.lock:
                c = self.counts[int(args[0])]
                return "%d %d" % (c[0], c[1])
        if cmd in ("pause", "resume"):
            with self.lock:
                gate = self.paused[int(args[0])]
            gate.clear() if cmd == "pause" else gate.set()
            return ""
        if cmd == "shutdown":
            self.get(args[0]).shutdown(socket.SHUT_WR)
            return ""
        if cmd == "reset":
            conn = self.get(args[0])
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            conn.close()
            return ""
        if cmd == "close":
            self.get(args[0]).close()
            return ""
        if cmd == "udp":
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            s.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 1 << 20)
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
            s.bind((args[1] if len(args) > 1 else LOOPBACK, int(args[0]) if args else 0))
            return "%d %d" % (self.add(s), s.getsockname()[1])
        if cmd == "udpsend":
            s, data = self.get(args[0]), pattern(int(args[3]), int(args[4]))
            return str(s.sendto(data, (args[1], int(args[2]))))
        if cmd == "udprecv":
            s, ms = self.get(args[0]), int(args[1])
            if not select.select([s], [], [], ms / 1000.0)[0]:
                raise TimeoutError("no datagram")
            data, source = s.recvfrom(65536)
            return "%d %d %s" % (len(data), source[1], dump(data))
        raise ValueError("unknown command " + cmd)


def serve(control, peer):
    pending = b""
    while True:
        while b"\n" not in pending:
            chunk = control.recv(4096)
            if not chunk:
                return
            pending += chunk
        line, pending = pending.split(b"\n", 1)
        words = line.decode("utf-8", "replace").split()
        if not words:
            continue
        if words[0] == "quit":
            control.sendall(b"OK\n")
            return
        try:
            reply = ("OK " + peer.run(words)).rstrip()
        except Exception as error:  # every failure is the command's answer
            reply = "ERR %s %s" % (type(error).__name__, str(error).replace("\n", " "))
        control.sendall(reply.encode("utf-8") + b"\n")


def close_inherited():
    # Wine starts a Linux program with the Unix descriptors of its starter,
    # sockets included: held here they would keep the starter's listeners
    # and connections open after it closed them.
    try:
        fds = [int(name) for name in os.listdir("/proc/self/fd")]
    except OSError:
        fds = range(3, 1024)
    for fd in fds:
        if fd > 2:
            try:
                os.close(fd)
            except OSError:
                pass


def main():
    close_inherited()
    argv = sys.argv[1:]
    connect_port = int(argv[argv.index("--connect") + 1]) if "--connect" in argv else None
    lifetime = float(argv[argv.index("--lifetime") + 1]) if "--lifetime" in argv else 600.0
    # The limit on life: a daemon timer that ends the process whatever it does.
    timer = threading.Timer(lifetime, lambda: os._exit(3))
    timer.daemon = True
    timer.start()
    if connect_port is not None:
        control = socket.create_connection((LOOPBACK, connect_port), timeout=30)
    else:
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.bind((LOOPBACK, 0))
        listener.listen(1)
        print("PORT %d" % listener.getsockname()[1], flush=True)
        listener.settimeout(60)
        control, _ = listener.accept()
        listener.close()
    control.settimeout(None)
    control.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    serve(control, Peer())
    os._exit(0)


if __name__ == "__main__":
    try:
        main()
    finally:
        os._exit(1)
