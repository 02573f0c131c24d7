"""The client that keeps trying: copies in two network namespaces joined by a veth pair
(tsrc-server in the client's /etc/hosts), and resume told by a mocked logind."""

import os
import subprocess
from pathlib import Path

from harness import E2ETestCase
from peer import free_port, listening
from waiting import holds_for, wait_until

IP = {"s": "10.218.77.1", "c": "10.218.77.2"}
PORT = "/port:3100"
EMIT_RESUME = """import dbus, sys
dbus.bus.BusConnection(sys.argv[1]).get_object("org.freedesktop.login1", "/org/freedesktop/login1").EmitSignal(
    "org.freedesktop.login1.Manager", "PrepareForSleep", "b", [False], dbus_interface="org.freedesktop.DBus.Mock")"""


def ip(*argv):
    subprocess.run(("ip",) + argv, check=True, capture_output=True, timeout=10)


class ReconnectTest(E2ETestCase):
    def setUp(self):
        super().setUp()
        self.tag = "tsrc%d" % (os.getpid() % 100000)
        self.hosts = Path("/etc/netns", self.tag + "c", "hosts")
        self.hosts.parent.mkdir(parents=True)
        self.addCleanup(self.hosts.parent.rmdir)
        self.addCleanup(self.hosts.unlink)
        self.hosts.write_text("%s tsrc-server\n" % IP["s"])
        for side in "sc":
            ip("netns", "add", self.tag + side)
            self.addCleanup(ip, "netns", "del", self.tag + side)
        self.link_client()

    def link_client(self):
        ip("link", "add", self.tag + "s", "netns", self.tag + "s", "type", "veth", "peer", "name", self.tag + "c",
           "netns", self.tag + "c")
        for side in "sc":
            ip("-n", self.tag + side, "addr", "add", IP[side] + "/24", "dev", self.tag + side)
            ip("-n", self.tag + side, "link", "set", "dev", self.tag + side, "up")

    def start_in(self, side, display, *args, **kwargs):
        return self.start_program(display, *args, prefix=("ip", "netns", "exec", self.tag + side), **kwargs)

    def crosses(self, source, target, text, timeout=5):
        source.set_clipboard(text)
        wait_until(lambda: target.get_clipboard() == text, timeout, message=repr(text))

    def test_client_gets_through_a_late_server_a_restart_and_a_90_s_outage(self):
        sd, cd = self.start_display(), self.start_display()
        self.start_in("c", cd, "/addr:tsrc-server", PORT, "/client")
        cd.set_clipboard(b"copied before the server ran")
        holds_for(lambda: sd.get_clipboard() is None, 3)
        server = self.start_in("s", sd, PORT, "/server")
        wait_until(lambda: sd.get_clipboard() == b"copied before the server ran", 5)
        server.kill()
        self.start_in("s", sd, PORT, "/server", installation=server.installation)
        self.crosses(sd, cd, b"after the restart")
        ip("-n", self.tag + "s", "link", "set", "dev", self.tag + "s", "down")
        cd.set_clipboard(b"copied during the outage")
        holds_for(lambda: sd.get_clipboard() == b"after the restart", 90, interval=1)
        ip("-n", self.tag + "s", "link", "set", "dev", self.tag + "s", "up")
        wait_until(lambda: sd.get_clipboard() == b"copied during the outage", 10)
        self.crosses(sd, cd, b"server, later")
        self.crosses(cd, sd, b"client, later")

    def test_client_whose_machine_vanished_is_served_when_back(self):
        sd, cd = self.start_display(), self.start_display()
        self.start_in("s", sd, PORT, "/server")
        client = self.start_in("c", cd, "/addr:" + IP["s"], PORT, "/client")
        self.crosses(cd, sd, b"before it vanished", 10)
        ip("-n", self.tag + "c", "link", "del", self.tag + "c")  # no close reaches the server
        client.kill()
        ip("netns", "del", self.tag + "c")
        ip("netns", "add", self.tag + "c")
        self.link_client()
        self.start_in("c", cd, "/addr:" + IP["s"], PORT, "/client", installation=client.installation)
        self.crosses(cd, sd, b"back again")

    def test_resume_from_suspend_makes_the_connection_afresh_at_once_to_localhost(self):
        socket_path = self.workdir / "system_bus"
        address = "unix:path=%s" % socket_path
        bus = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=address)
        has_logind = ["dbus-send", "--bus=" + address, "--print-reply", "--dest=org.freedesktop.DBus",
                      "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner", "string:org.freedesktop.login1"]
        for argv, ready in ((["dbus-daemon", "--session", "--nofork", "--address=" + address], socket_path.exists),
                            (["/usr/bin/python3", "-m", "dbusmock", "--system", "--template", "logind"],
                             lambda: b"true" in subprocess.run(has_logind, capture_output=True).stdout)):
            process = subprocess.Popen(argv, env=bus, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            self.addCleanup(process.wait)
            self.addCleanup(process.terminate)
            wait_until(ready)
        listener = self.peer_listener()
        self.start_program(self.start_display(), "/addr:localhost", "/port:%d" % listener.port, "/client",
                           env={"DBUS_SYSTEM_BUS_ADDRESS": address})
        first = self.accept_peer(listener)
        subprocess.run(["/usr/bin/python3", "-c", EMIT_RESUME, address], check=True, timeout=10)
        self.accept_peer(listener, timeout=2)
        first.wait_closed(2)

    def test_a_refused_attempt_is_tried_again_unless_reconnect_is_0(self):
        for settings, tries_again in ((b"[TESSAROPRO]\r\nRECONNECT=0\r\n", False), (None, True)):
            port = free_port()
            self.start_program(self.start_display(), "/addr:127.0.0.1", "/port:%d" % port, "/client",
                               settings=settings)
            holds_for(lambda: not listening(port), 2)  # the first attempt is refused meanwhile
            listener = self.peer_listener(port)
            if tries_again:
                self.accept_peer(listener, timeout=3)
            else:
                self.assertRaises(AssertionError, listener.accept, 3)
