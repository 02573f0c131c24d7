"""The baseline the program is measured against: plain tools in a pipe.

    xclip -o (source display) | socat -> loopback TCP -> socat | xclip -i (target display)

The receiving half is started ahead of time, like a peer that is already
connected and waiting; the sending half is started the moment the source
clipboard changes. Started that way it is an event-driven relay with no
framing, no tick and no encoding: the least the tools on this machine need to
move the same bytes between the same two clipboards.
"""

import subprocess
import time

from peer import free_port
from waiting import wait_until

ListenWaitS = 10
TcpListenState = "0A"


def listening(port):
    """True when something listens on 127.0.0.1:`port` (or on every address)."""
    wanted = {"0100007F:%04X" % port, "00000000:%04X" % port}
    with open("/proc/net/tcp") as table:
        next(table)
        return any(fields[1] in wanted and fields[3] == TcpListenState
                   for fields in (line.split() for line in table))


def _clipboard_out(display, target):
    return display.spawn(["xclip", "-selection", "clipboard", "-o", "-t", target], stdout=subprocess.PIPE)


def _clipboard_in(display, target, stdin):
    # -quiet keeps xclip in the foreground, so that it stays a child we can
    # stop by its PID; it ends by itself once another owner takes over.
    return display.spawn(["xclip", "-selection", "clipboard", "-i", "-quiet", "-t", target], stdin=stdin)


class PipeRelay:
    """One copy from `source`'s clipboard to `target`'s through the pipe."""

    def __init__(self, source, target, target_type="UTF8_STRING"):
        self.source = source
        self.target_type = target_type
        self.port = free_port()
        self.receiver = target.spawn(["socat", "-u", "TCP-LISTEN:%d,bind=127.0.0.1,reuseaddr" % self.port,
                                      "STDOUT"], stdout=subprocess.PIPE)
        self.owner = _clipboard_in(target, target_type, self.receiver.stdout)
        self.receiver.stdout.close()
        wait_until(lambda: listening(self.port) or self.receiver.poll() is not None, ListenWaitS,
                   message="socat to listen on port %d" % self.port)
        if self.receiver.poll() is not None:
            raise RuntimeError("socat exited with %d before listening" % self.receiver.returncode)
        self.sender = None

    def send(self):
        """Starts the sending half; returns at once."""
        reader = _clipboard_out(self.source, self.target_type)
        self.sender = self.source.spawn(["socat", "-u", "STDIN", "TCP:127.0.0.1:%d" % self.port],
                                        stdin=reader.stdout)
        reader.stdout.close()
        self._reader = reader

    def finish(self, timeout):
        """Waits for both socat halves and the reading xclip to end."""
        deadline = time.monotonic() + timeout
        for process in (self._reader, self.sender, self.receiver):
            process.wait(timeout=max(deadline - time.monotonic(), 0.1))
            if process.returncode != 0:
                raise RuntimeError("%s exited with %d" % (process.args[0], process.returncode))
