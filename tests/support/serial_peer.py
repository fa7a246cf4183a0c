#!/usr/bin/env python3
"""The serial tests' peer: pseudo-terminal pairs that stand for serial
lines, driven line by line over a loopback control connection.

Start:  serial_peer.py --connect PORT [--lifetime SECONDS]
  Connects to 127.0.0.1:PORT (a Windows test under Wine can start a Linux
  python but not read its output) and exits when that connection closes,
  or after --lifetime seconds (default 600).

Commands, one line each, one reply line each: "OK ..." or "ERR <text>".
  open <dir> <n>            -> OK <id> <slave>  a pty pair, <dir>/com<n> a link
                                                to its slave (held open here so
                                                the pair outlives the tested
                                                side closing it)
  write <id> <hex>          -> OK <n>           bytes to the master, at once
  send <id> <n> <seed>      -> OK               n pattern bytes, in the background
  sent <id> <ms>            -> OK <n>           waits for the send: bytes written
  drip <id> <hex> <every> <for>
                            -> OK               writes the bytes every <every> ms
                                                for <for> ms (0 stops), in the
                                                background
  read <id> <n> <ms>        -> OK <count> <hex> up to n bytes, what came in time
  sink <id> <seed>          -> OK               reads in the background, checking
                                                the bytes against the pattern
  count <id>                -> OK <bytes> <bad> bytes sunk, the first index that
                                                differed from the pattern (-1)
  flood <id> <n> <ms>       -> OK               n pattern bytes (seed 0) every ms
                                                milliseconds in the background, held
                                                back while nobody reads; n = 0 stops
  xoff <id> / xon <id>      -> OK               the flow-control characters
  relay <id> <sx|rx> <file> <flags> <noise>
                            -> OK               runs lrzsz sx (sends <file>) or rx
                                                (receives it) on pipes and relays
                                                between it and the master; <flags>
                                                are its options joined by commas
  bridge <id> <id2> <noise> -> OK               relays between two masters, <id>
                                                sending the data
  finish <id> <ms>          -> OK <rc> <faults> waits for the relay or bridge to end
                                                (a bridge is stopped): the program's
                                                exit status (0 for a bridge) and the
                                                faults injected
  close <id>                -> OK               removes the link, closes the pair
  quit                      -> OK, then exits
Noise ("-" for none) is a comma-separated list of faults, each in the data
direction (from the sending program or side) at byte i where i % P == O,
P large enough for at most one fault a packet:
  flip:P:O   flips bit (i / P) % 8 of the byte
  drop:P:O   drops the byte
  junk:P:O   puts three bytes that mean nothing to the protocol before it
  max:K      injects at most K of those faults in all (default 1000)
  ack:N      drops the Nth ACK (1, 2, ...) in the reply direction
  noc        drops every "C" (a request for CRC) in the reply direction
The pattern: byte i of n is (seed + i * 7) & 0xFF. Hex dumps show at most the
first 65536 bytes ("-" when empty).
"""
import os
import pty
import select
import socket
import subprocess
import sys
import threading
import time
import tty

# The control line and the start are the socket peer's.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from socket_peer import LOOPBACK, close_inherited, serve  # noqa: E402


# Opens the slave in a new session (making it the session's terminal),
# ignores its hang-up and waits for its standard input to close.
HOLDER = """
import os, signal, sys
signal.signal(signal.SIGHUP, signal.SIG_IGN)
fd = os.open(sys.argv[1], os.O_RDWR)
sys.stdout.write("ready\\n")
sys.stdout.flush()
sys.stdin.buffer.read()
"""


def pattern(n, seed, start=0):
    return bytes((seed + i * 7) & 0xFF for i in range(start, start + n))


ACK = 6
CRC = 67
JUNK = b"0x9"  # bytes no XModem side acts on


class Noise:
    """Faults injected into a relayed byte stream (see the noise list)."""

    def __init__(self, faults):
        self.faults = []  # (kind, period, offset)
        self.budget = 1000
        self.lost_ack = 0
        self.drop_c = False
        for item in ([] if faults == "-" else faults.split(",")):
            parts = item.split(":")
            if parts[0] == "max":
                self.budget = int(parts[1])
            elif parts[0] == "noc":
                self.drop_c = True
            elif parts[0] == "ack":
                self.lost_ack = int(parts[1])
            elif parts[0] in ("flip", "drop", "junk"):
                self.faults.append((parts[0], int(parts[1]), int(parts[2])))
            else:
                raise ValueError("unknown fault " + item)
        self.index = 0      # data bytes seen
        self.acks = 0       # ACKs seen in the reply direction
        self.injected = 0

    def data(self, chunk):
        out = bytearray()
        for byte in chunk:
            i = self.index
            self.index += 1
            fault = None
            if self.injected < self.budget:
                fault = next((f for f in self.faults if i % f[1] == f[2]), None)
            if fault is None:
                out.append(byte)
                continue
            self.injected += 1
            kind, period = fault[0], fault[1]
            if kind == "flip":
                out.append(byte ^ (1 << ((i // period) % 8)))
            elif kind == "junk":
                out += JUNK
                out.append(byte)
        return bytes(out)

    def reply(self, chunk):
        if not self.lost_ack and not self.drop_c:
            return chunk
        out = bytearray()
        for byte in chunk:
            if byte == CRC and self.drop_c:
                self.injected += 1
                continue
            if byte == ACK:
                self.acks += 1
                if self.acks == self.lost_ack:
                    self.injected += 1
                    continue
            out.append(byte)
        return bytes(out)


def pump(ends, stop):
    """Moves bytes between descriptors until a source closes or stop is set.
    ends: (source fd, destination fd, transform) for each direction. A
    destination that fails is dropped from then on (its bytes discarded)."""
    pending = {dst: b"" for _, dst, _ in ends}
    dead = set()
    sources = {src: (dst, transform) for src, dst, transform in ends}
    for src in sources:
        os.set_blocking(src, False)
    for dst in pending:
        os.set_blocking(dst, False)
    while not stop.is_set():
        writers = [d for d, data in pending.items() if data and d not in dead]
        readable, writable, _ = select.select(list(sources), writers, [], 0.1)
        for dst in writable:
            try:
                pending[dst] = pending[dst][os.write(dst, pending[dst]):]
            except BlockingIOError:
                pass
            except OSError:
                dead.add(dst)
                pending[dst] = b""
        for src in readable:
            try:
                chunk = os.read(src, 4096)
            except BlockingIOError:
                continue
            except OSError:
                chunk = b""
            if not chunk:
                # The end: deliver what is pending, within a second.
                for _ in range(10):
                    left = [d for d, data in pending.items() if data and d not in dead]
                    if not left:
                        break
                    _, ready, _ = select.select([], left, [], 0.1)
                    for dst in ready:
                        try:
                            pending[dst] = pending[dst][os.write(dst, pending[dst]):]
                        except OSError:
                            dead.add(dst)
                return
            dst, transform = sources[src]
            if dst not in dead:
                pending[dst] += transform(chunk)


class Relay:
    """lrzsz sx or rx on pipes, or a second pair, relayed to a pair's master."""

    def __init__(self, pair, program, path, flags, noise):
        self.noise = Noise(noise)
        self.stop = threading.Event()
        self.status = None
        self.done = threading.Event()
        self.proc = None
        if program == "bridge":
            ends = [(pair.master, path.master, self.noise.data), (path.master, pair.master, self.noise.reply)]
        else:
            if program not in ("sx", "rx"):
                raise ValueError("unknown program " + program)
            # rx takes only names below its working directory.
            argv = [program] + [f for f in flags.split(",") if f and f != "-"] + [os.path.basename(path)]
            self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                         stderr=subprocess.DEVNULL, cwd=os.path.dirname(path) or None,
                                         close_fds=True)
            into, out = self.proc.stdin.fileno(), self.proc.stdout.fileno()
            if program == "sx":
                ends = [(out, pair.master, self.noise.data), (pair.master, into, self.noise.reply)]
            else:
                ends = [(pair.master, into, self.noise.data), (out, pair.master, self.noise.reply)]
        threading.Thread(target=self.run, args=(ends,), daemon=True).start()

    def run(self, ends):
        try:
            pump(ends, self.stop)
        finally:
            if self.proc is not None:
                try:
                    self.proc.stdin.close()
                except OSError:
                    pass
                try:
                    self.status = self.proc.wait(30)
                except subprocess.TimeoutExpired:
                    self.proc.kill()
                    self.status = self.proc.wait()
                self.proc.stdout.close()
            else:
                self.status = 0
            self.done.set()

    def finish(self, ms):
        if self.proc is None:
            self.stop.set()
        if not self.done.wait(ms / 1000.0):
            if self.proc is not None:
                self.proc.kill()
            self.stop.set()
            self.done.wait(5)
            raise TimeoutError("relay not finished")
        return "%d %d" % (self.status, self.noise.injected)


class Pair:
    def __init__(self, directory, n):
        self.master, self.slave = pty.openpty()
        tty.setraw(self.master)
        tty.setraw(self.slave)
        self.path = os.ttyname(self.slave)
        self.link = os.path.join(directory, "com%d" % n)
        if os.path.lexists(self.link):
            os.unlink(self.link)
        os.symlink(self.path, self.link)
        # The slave as the controlling terminal of a session of its own. A
        # session leader without one that opens the slave would otherwise
        # get it: Wine's server opens devices for its clients that way, and
        # then gets the hang-up when the pair closes.
        self.holder = subprocess.Popen(
            [os.readlink("/proc/self/exe"), "-c", HOLDER, self.path], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            start_new_session=True, close_fds=True)
        if self.holder.stdout.readline() != b"ready\n":
            os.unlink(self.link)
            raise OSError("the session holder did not start")
        self.sent = None            # bytes written by the background send
        self.done = threading.Event()
        self.sunk = [0, -1]         # bytes, first bad index
        self.stop = False
        self.flood = None           # the running flood's stop event
        self.relay = None
        self.drip_stop = threading.Event()

    def write_all(self, data):
        view = memoryview(data)
        while view:
            select.select([], [self.master], [])
            view = view[os.write(self.master, view):]

    def close(self):
        self.stop = True
        if self.flood is not None:
            self.flood.set()
        self.drip_stop.set()
        if self.relay is not None:
            try:
                self.relay.finish(0)
            except TimeoutError:
                pass
        if self.holder.poll() is None:
            self.holder.stdin.close()
            try:
                self.holder.wait(5)
            except subprocess.TimeoutExpired:
                self.holder.kill()
                self.holder.wait()
        if os.path.lexists(self.link):
            os.unlink(self.link)
        for fd in (self.master, self.slave):
            try:
                os.close(fd)
            except OSError:
                pass


class Peer:
    def __init__(self):
        self.lock = threading.Lock()
        self.pairs = {}
        self.next_id = 1

    def get(self, ident):
        with self.lock:
            return self.pairs[int(ident)]

    def sender(self, pair, n, seed):
        written = 0
        try:
            while written < n:
                chunk = pattern(min(65536, n - written), seed, written)
                pair.write_all(chunk)
                written += len(chunk)
        except OSError:
            pass
        pair.sent = written
        pair.done.set()

    def dripper(self, pair, data, every, span, stop):
        end = time.monotonic() + span
        while not stop.wait(every) and time.monotonic() < end:
            try:
                pair.write_all(data)
            except OSError:
                return

    def sinker(self, pair, seed):
        while not pair.stop:
            try:
                ready, _, _ = select.select([pair.master], [], [], 0.5)
                if not ready:
                    continue
                data = os.read(pair.master, 65536)
            except OSError:
                return
            with self.lock:
                if pair.sunk[1] < 0:
                    want = pattern(len(data), seed, pair.sunk[0])
                    if data != want:
                        pair.sunk[1] = pair.sunk[0] + next(i for i in range(len(data)) if data[i] != want[i])
                pair.sunk[0] += len(data)

    def flooder(self, pair, n, ms, stop):
        sent = 0
        while not stop.is_set():
            data = memoryview(pattern(n, 0, sent))
            while data and not stop.is_set():
                try:
                    _, ready, _ = select.select([], [pair.master], [], 0.1)
                    if ready:
                        data = data[os.write(pair.master, data):]
                except OSError:
                    return
            sent += n
            stop.wait(ms / 1000.0)

    def run(self, words):
        cmd, args = words[0], words[1:]
        if cmd == "open":
            pair = Pair(args[0], int(args[1]))
            with self.lock:
                ident = self.next_id
                self.next_id += 1
                self.pairs[ident] = pair
            return "%d %s" % (ident, pair.path)
        pair = self.get(args[0])
        if cmd == "write":
            data = bytes.fromhex(args[1])
            pair.write_all(data)
            return str(len(data))
        if cmd == "send":
            pair.done.clear()
            threading.Thread(target=self.sender, args=(pair, int(args[1]), int(args[2])), daemon=True).start()
            return ""
        if cmd == "drip":
            pair.drip_stop.set()
            pair.drip_stop = threading.Event()
            threading.Thread(target=self.dripper, args=(pair, bytes.fromhex(args[1]), int(args[2]) / 1000.0,
                                                        int(args[3]) / 1000.0, pair.drip_stop), daemon=True).start()
            return ""
        if cmd == "sent":
            if not pair.done.wait(int(args[1]) / 1000.0):
                raise TimeoutError("send not finished")
            return str(pair.sent)
        if cmd == "read":
            want, ms = int(args[1]), int(args[2])
            got = b""
            end = ms / 1000.0
            while len(got) < want:
                ready, _, _ = select.select([pair.master], [], [], end)
                if not ready:
                    break
                got += os.read(pair.master, want - len(got))
                end = 0.05  # what follows at once
            return "%d %s" % (len(got), got[:65536].hex() or "-")
        if cmd == "sink":
            threading.Thread(target=self.sinker, args=(pair, int(args[1])), daemon=True).start()
            return ""
        if cmd == "count":
            with self.lock:
                return "%d %d" % tuple(pair.sunk)
        if cmd == "flood":
            if pair.flood is not None:
                pair.flood.set()
                pair.flood = None
            n, ms = int(args[1]), int(args[2])
            if n > 0:
                pair.flood = threading.Event()
                threading.Thread(target=self.flooder, args=(pair, n, ms, pair.flood), daemon=True).start()
            return ""
        if cmd in ("xoff", "xon"):
            pair.write_all(b"\x13" if cmd == "xoff" else b"\x11")
            return ""
        if cmd == "relay":
            pair.relay = Relay(pair, args[1], args[2], args[3], args[4])
            return ""
        if cmd == "bridge":
            pair.relay = Relay(pair, "bridge", self.get(args[1]), "", args[2])
            return ""
        if cmd == "finish":
            relay, pair.relay = pair.relay, None
            if relay is None:
                raise ValueError("nothing relayed")
            return relay.finish(int(args[1]))
        if cmd == "close":
            with self.lock:
                del self.pairs[int(args[0])]
            pair.close()
            return ""
        raise ValueError("unknown command " + cmd)


def main():
    close_inherited()
    argv = sys.argv[1:]
    port = int(argv[argv.index("--connect") + 1])
    lifetime = float(argv[argv.index("--lifetime") + 1]) if "--lifetime" in argv else 600.0
    timer = threading.Timer(lifetime, lambda: os._exit(3))
    timer.daemon = True
    timer.start()
    control = socket.create_connection((LOOPBACK, port), timeout=30)
    control.settimeout(None)
    control.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    peer = Peer()
    try:
        serve(control, peer)
    finally:
        for pair in list(peer.pairs.values()):
            pair.close()
    os._exit(0)


if __name__ == "__main__":
    try:
        main()
    finally:
        os._exit(1)
