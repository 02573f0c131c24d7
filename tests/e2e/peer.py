"""The far end of the program's TCP connection, scripted by a test, and
loopback port helpers. Loopback only, no threads.

ScriptedPeer (one TCP connection)
    send_raw(data)                  one send
    send_transfer(text)             the length digits in one send, then, once
                                    the program has read them, the text
    wait_drained(timeout)           until the program has read all we sent
    program_unread_bytes()          bytes still in the program's receive queue
    expect_transfer(text, timeout)  reads one framed text and checks it
    wait_received(count, timeout)   until `count` bytes in total have come
    received (bytearray), bytes_received, take(count)
    assert_quiet(seconds)           nothing arrives for that long (only for
                                    checking that something does NOT happen)
    wait_closed(timeout)            until the program closes the connection
    close(), reset() (closes with RST)

PeerListener(port=0): a loopback listener for "/client" runs; accept(timeout)
connect_peer(port, timeout): connects to a "/server" run

free_port(), listening(port) and wait_listening(port, timeout) (start a
"/client" copy only once its server listens: a refused first attempt is not
retried), frame(text) (the bytes of one transfer).
"""

import select
import socket
import struct
import time

from waiting import DefaultWaitS, wait_until


def free_port():
    """A TCP port on 127.0.0.1 that nothing listens on at this moment."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listening(port):
    """True while some socket on this machine listens on TCP `port` (IPv4)."""
    with open("/proc/net/tcp") as table:
        next(table)
        for line in table:
            fields = line.split()
            if fields[3] == "0A" and int(fields[1].split(":")[1], 16) == port:
                return True
    return False


def wait_listening(port, timeout=DefaultWaitS):
    """Waits until the program's server listens on `port`, without
    connecting (a probe connection would take the server's one peer slot)."""
    wait_until(lambda: listening(port), timeout, message="a listener on port %d" % port)


def frame(text):
    """The bytes of one transfer of `text`: its decimal length, then itself."""
    return str(len(text)).encode("ascii") + bytes(text)


def _tcp_hex(address):
    """An IPv4 (host, port) as /proc/net/tcp writes it."""
    host, port = address
    return "%08X:%04X" % (struct.unpack("<I", socket.inet_aton(host))[0], port)


class ScriptedPeer:
    """The far end of one TCP connection with the program, driven step by step."""

    def __init__(self, sock):
        self.sock = sock
        self.sock.setblocking(False)
        self.received = bytearray()
        self.bytes_received = 0
        self.eof = False
        self.local = sock.getsockname()
        self.remote = sock.getpeername()

    def close(self):
        self.sock.close()

    def reset(self):
        """Closes the connection with a reset (RST) instead of an orderly FIN."""
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.sock.close()

    # Sending

    def send_raw(self, data):
        """Hands `data` to the kernel in one send (loopback takes it whole)."""
        data = bytes(data)
        self.sock.setblocking(True)
        try:
            self.sock.sendall(data)
        finally:
            self.sock.setblocking(False)

    def send_transfer(self, text, timeout=DefaultWaitS):
        """Sends one transfer as the program expects it: the length digits in
        one send, then, once the program has read them, the text."""
        self.send_raw(str(len(text)).encode("ascii"))
        self.wait_drained(timeout)
        if text:
            self.send_raw(text)

    def program_unread_bytes(self):
        """Bytes we sent that wait unread in the program's receive queue."""
        wanted = (_tcp_hex(self.remote), _tcp_hex(self.local))
        with open("/proc/net/tcp") as table:
            next(table)
            for line in table:
                fields = line.split()
                if (fields[1], fields[2]) == wanted:
                    return int(fields[4].split(":")[1], 16)
        return 0

    def wait_drained(self, timeout=DefaultWaitS):
        wait_until(lambda: self.program_unread_bytes() == 0, timeout,
                   message="the program to read what the peer sent")

    # Receiving

    def _pump(self, wait_s):
        """Reads what has arrived, waiting up to `wait_s` for the first byte."""
        if self.eof:
            return False
        if not select.select([self.sock], [], [], max(wait_s, 0))[0]:
            return False
        try:
            chunk = self.sock.recv(65536)
        except (BlockingIOError, InterruptedError):
            return False
        except ConnectionResetError:
            chunk = b""
        if not chunk:
            self.eof = True
            return False
        self.received += chunk
        self.bytes_received += len(chunk)
        return True

    def _pump_until(self, condition, timeout, message):
        deadline = time.monotonic() + timeout
        while not condition():
            left = deadline - time.monotonic()
            if left <= 0 or (self.eof and not condition()):
                raise AssertionError("%s: %s; received so far %d bytes: %r"
                                     % ("connection closed" if self.eof else "timed out", message,
                                        len(self.received), bytes(self.received[:200])))
            self._pump(min(left, 0.5))

    def wait_received(self, count, timeout=DefaultWaitS):
        """Waits until `count` bytes in total have arrived since the start."""
        self._pump_until(lambda: self.bytes_received >= count, timeout, "%d bytes" % count)

    def take(self, count):
        """Removes and returns the first `count` bytes not yet taken."""
        data = bytes(self.received[:count])
        del self.received[:count]
        return data

    def expect_transfer(self, text, timeout=DefaultWaitS):
        """Reads one transfer and checks that it carries exactly `text`."""
        expected = frame(text)
        self._pump_until(lambda: len(self.received) >= len(expected), timeout,
                         "a transfer of %d bytes" % len(bytes(text)))
        got = self.take(len(expected))
        if got != expected:
            raise AssertionError("expected transfer %r, got %r" % (expected[:200], got[:200]))

    def assert_quiet(self, seconds):
        """Checks that nothing arrives (and the connection stays open) for `seconds`."""
        before = self.bytes_received
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline and not self.eof:
            self._pump(deadline - time.monotonic())
        if self.bytes_received != before:
            raise AssertionError("unexpected bytes from the program: %r" % bytes(self.received[-200:]))

    def wait_closed(self, timeout=DefaultWaitS):
        self._pump_until(lambda: self.eof, timeout, "the program to close the connection")


class PeerListener:
    """A loopback listening socket for the program's client mode to reach."""

    def __init__(self, port=0):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("127.0.0.1", port))
        self.sock.listen(5)
        self.port = self.sock.getsockname()[1]

    def accept(self, timeout=DefaultWaitS):
        if not select.select([self.sock], [], [], timeout)[0]:
            raise AssertionError("no connection from the program within %.1f s" % timeout)
        sock, _ = self.sock.accept()
        return ScriptedPeer(sock)

    def close(self):
        self.sock.close()


def connect_peer(port, timeout=DefaultWaitS, source=None):
    """Connects to the program's server on 127.0.0.1, retrying while refused;
    from the loopback address `source` when given (all of 127.0.0.0/8 reaches
    this machine)."""
    def attempt():
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        if source:
            sock.bind((source, 0))
        try:
            sock.connect(("127.0.0.1", port))
            return sock
        except ConnectionRefusedError:
            sock.close()
            return None
    return ScriptedPeer(wait_until(attempt, timeout, message="the program to listen on port %d" % port))


class LegacyReader:
    """A peer of the oldest kind on one connection to the program: its first
    read after readiness is the length, whatever it holds; the reads after
    it are the text until the count is reached."""

    def __init__(self, peer, timeout=20):
        self.sock = peer.sock
        self.sock.setblocking(True)
        self.timeout = timeout

    def _readable(self, deadline):
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([self.sock], [], [], left)[0]:
            raise AssertionError("no bytes from the program in time")

    def read_transfer(self, delay_ms):
        """Returns (what the first read held, the text read after it); the
        first read comes `delay_ms` after readiness, as a busy loop's would."""
        deadline = time.monotonic() + self.timeout
        self._readable(deadline)
        time.sleep(delay_ms / 1000)
        first = self.sock.recv(1 << 20)
        if not first.isdigit():
            return first, b""
        count = int(first)
        text = bytearray()
        while len(text) < count:
            self._readable(deadline)
            chunk = self.sock.recv(1 << 20)
            if not chunk:
                raise AssertionError("the program closed the connection")
            text += chunk
        return first, bytes(text)
