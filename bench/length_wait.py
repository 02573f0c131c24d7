#!/usr/bin/env python3
"""Measures how long the sender must wait between a length and its text.

    python3 bench/length_wait.py [--transfers N]

A reader of the older kind takes all bytes of its first read after readiness
as the length. This script plays both ends over loopback TCP (TCP_NODELAY, as
the program sends): the sender sends a length, waits W ms on a timer, then
sends a 1 KB text; the reader wakes on readiness, waits its dispatch delay D
(0, 5, 20 ms), reads once and checks that it got the length alone. Printed:
for each D, how late the reader's one read came after the length's send
(median, 99th percentile, maximum), and for each W the share of transfers
whose length arrived alone. Run it on the machine under its usual load: the
tail is what the wait has to cover.
"""

import argparse
import select
import socket
import statistics
import threading
import time

DispatchDelaysMs = (0, 5, 20)
WaitsMs = (0, 5, 10, 20, 30, 40, 60)
TextBytes = 1024


def pair():
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    sender = socket.create_connection(listener.getsockname())
    reader, _ = listener.accept()
    listener.close()
    sender.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return sender, reader


def run(wait_ms, delay_ms, transfers):
    """Returns (share of lengths read alone, read lateness in ms per transfer)."""
    sender, reader = pair()
    sent_at = []
    alone = 0
    lateness = []
    text = b"x" * TextBytes

    def send_all():
        for _ in range(transfers):
            sent_at.append(time.monotonic())
            sender.sendall(b"%d" % TextBytes)
            time.sleep(wait_ms / 1000)
            sender.sendall(text)
            done.wait()
            done.clear()

    done = threading.Event()
    thread = threading.Thread(target=send_all)
    thread.start()
    for i in range(transfers):
        select.select([reader], [], [])
        time.sleep(delay_ms / 1000)
        first = reader.recv(1 << 20)
        lateness.append((time.monotonic() - sent_at[i]) * 1000)
        if first == b"%d" % TextBytes:
            alone += 1
        got = len(first) - len(b"%d" % TextBytes)
        while got < TextBytes:
            got += len(reader.recv(1 << 20))
        done.set()
    thread.join()
    sender.close()
    reader.close()
    return alone / transfers, lateness


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--transfers", type=int, default=100)
    args = parser.parse_args()
    for delay in DispatchDelaysMs:
        # How late the one read comes, with a wait long enough not to matter.
        _, lateness = run(100, delay, args.transfers)
        lateness.sort()
        p99 = lateness[min(len(lateness) - 1, int(len(lateness) * 0.99))]
        print("D=%2d ms: read %.1f ms after the length (median), %.1f (p99), %.1f (max)"
              % (delay, statistics.median(lateness), p99, lateness[-1]))
        shares = []
        for wait in WaitsMs:
            share, _ = run(wait, delay, args.transfers)
            shares.append("W=%d: %3.0f%%" % (wait, share * 100))
        print("        length alone: " + ", ".join(shares))


if __name__ == "__main__":
    main()
