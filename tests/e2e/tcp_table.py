"""The kernel's view of the loopback TCP sockets a test made: which are
connected or listening, what waits in their queues, and how many bytes each
has received. Reads /proc/net/tcp and asks `ss` (iproute2) for the byte
counts; IPv4 only, which is all the program uses. Loopback only.
"""

import re
import subprocess

from waiting import wait_until

ESTABLISHED = "01"
CLOSE_WAIT = "08"  # the peer has closed; this end is still open
LISTEN = "0A"

ConnectTimeoutS = 15


def _sockets():
    """(local port, remote port, state, send queue, receive queue) of every
    IPv4 TCP socket. For a listening socket the receive queue is the number
    of connections waiting to be accepted."""
    rows = []
    with open("/proc/net/tcp") as table:
        next(table)
        for line in table:
            fields = line.split()
            tx, rx = fields[4].split(":")
            rows.append((int(fields[1].split(":")[1], 16), int(fields[2].split(":")[1], 16), fields[3],
                         int(tx, 16), int(rx, 16)))
    return rows


def connections(port, state=ESTABLISHED):
    """(local, remote) port pairs of sockets in `state` with `port` at either end."""
    return [(local, remote) for local, remote, s, _, _ in _sockets() if s == state and port in (local, remote)]


def served(port):
    """The program's ends of the established connections of a server on `port`."""
    return [pair for pair in connections(port) if pair[0] == port]


def queues(local_port, remote_port):
    """(send queue, receive queue) in bytes of the socket with these ports,
    (0, 0) when there is none."""
    for local, remote, _, tx, rx in _sockets():
        if (local, remote) == (local_port, remote_port):
            return tx, rx
    return 0, 0


def waiting_to_be_accepted(port):
    return sum(rx for local, _, state, _, rx in _sockets() if state == LISTEN and local == port)


def wait_listening(port, timeout=ConnectTimeoutS):
    """Until something listens on `port`: a client started before that would
    find it refused and not try again (a client makes one attempt)."""
    return wait_until(lambda: connections(port, LISTEN), timeout, message="a listener on port %d" % port)


def wait_served(port, count=1, timeout=ConnectTimeoutS):
    """Until the server on `port` has accepted `count` connections and none waits."""
    return wait_until(lambda: len(served(port)) == count and waiting_to_be_accepted(port) == 0, timeout,
                      message="%d accepted connection(s) on port %d" % (count, port))


def wait_unconnected(port, timeout=ConnectTimeoutS):
    """Until no connection with `port` at either end is open: none
    established, and none that its peer closed but its owner still holds."""
    return wait_until(lambda: not connections(port) and not connections(port, CLOSE_WAIT), timeout,
                      message="the connections on port %d to close" % port)


_SS_RECORD = re.compile(r"^\S+\s+\S+\s+\S+:(\d+)\s+\S+:(\d+)")


def bytes_received(port):
    """{(local, remote): bytes received} for the established sockets with
    `port` at either end, from the kernel's TCP counters."""
    result = subprocess.run(["ss", "-tinH", "state", "established",
                             "( sport = :%d or dport = :%d )" % (port, port)],
                            capture_output=True, text=True, check=True, timeout=10)
    counts = {}
    current = None
    for line in result.stdout.splitlines():
        record = _SS_RECORD.match(line)
        if record:
            current = (int(record.group(1)), int(record.group(2)))
            counts[current] = 0
        found = re.search(r"\bbytes_received:(\d+)", line)
        if found and current is not None:
            counts[current] = int(found.group(1))
    return counts
