"""The client that keeps trying: copies of the program in two network
namespaces joined by a veth pair (server 10.218.77.1, client .2, the name
tsrc-server in the client's /etc/hosts), through a late server, a restart, a
90 s outage and a client machine that vanished; host names; RECONNECT=0; and
resume from suspend told by a mocked logind on a private system bus."""

import os
import subprocess
from pathlib import Path

from harness import E2ETestCase
from peer import free_port
from tcp_table import served, wait_listening
from waiting import holds_for, wait_until

ADDRESSES = {"s": "10.218.77.1", "c": "10.218.77.2"}
PORT = "/port:3100"
SyncS = 5
OutageS = 90
EMIT_RESUME = """import dbus, sys
dbus.bus.BusConnection(sys.argv[1]).get_object("org.freedesktop.login1", "/org/freedesktop/login1").EmitSignal(
    "org.freedesktop.login1.Manager", "PrepareForSleep", "b", [False], dbus_interface="org.freedesktop.DBus.Mock")"""


def ip(*argv):
    subprocess.run(("ip",) + argv, check=True, capture_output=True, timeout=10)


class ReconnectTest(E2ETestCase):
    def setUp(self):
        super().setUp()
        self.tag = "tsrc%d" % (os.getpid() % 100000)
        self.ns = {side: self.tag + side for side in "sc"}
        self.hosts = Path("/etc/netns") / self.ns["c"] / "hosts"
        self.hosts.parent.mkdir(parents=True)
        self.addCleanup(self.hosts.parent.rmdir)
        self.addCleanup(self.hosts.unlink)
        self.hosts.write_text("127.0.0.1 localhost\n%s tsrc-server\n" % ADDRESSES["s"])
        for side in "sc":
            ip("netns", "add", self.ns[side])
            self.addCleanup(ip, "netns", "del", self.ns[side])
        self.link_client()

    def link_client(self):
        """The veth pair, made again after the client's namespace went."""
        ip("link", "add", self.tag + "s", "netns", self.ns["s"], "type", "veth", "peer", "name", self.tag + "c",
           "netns", self.ns["c"])
        for side in "sc":
            ip("-n", self.ns[side], "addr", "add", ADDRESSES[side] + "/24", "dev", self.tag + side)
            ip("-n", self.ns[side], "link", "set", "dev", self.tag + side, "up")

    def start_in(self, side, display, *args, **kwargs):
        return self.start_program(display, *args, prefix=("ip", "netns", "exec", self.ns[side]), **kwargs)

    def crosses(self, source, target, text, timeout=SyncS):
        source.set_clipboard(text)
        wait_until(lambda: target.get_clipboard() == text, timeout, message="%r on the other side" % text)

    def test_client_gets_through_a_late_server_a_restart_and_a_90_s_outage(self):
        sd, cd = self.start_display(), self.start_display()
        self.start_in("c", cd, "/addr:tsrc-server", PORT, "/client")
        cd.set_clipboard(b"copied before the server ran")
        holds_for(lambda: sd.get_clipboard() is None, 3)
        server = self.start_in("s", sd, PORT, "/server")
        wait_until(lambda: sd.get_clipboard() == b"copied before the server ran", SyncS)
        server.kill()
        self.start_in("s", sd, PORT, "/server", installation=server.installation)
        self.crosses(sd, cd, b"after the restart")

        ip("-n", self.ns["s"], "link", "set", "dev", self.tag + "s", "down")
        cd.set_clipboard(b"copied during the outage")
        holds_for(lambda: sd.get_clipboard() == b"after the restart", OutageS, interval=1)
        ip("-n", self.ns["s"], "link", "set", "dev", self.tag + "s", "up")
        wait_until(lambda: sd.get_clipboard() == b"copied during the outage", 10)
        self.crosses(sd, cd, b"server, later")
        self.crosses(cd, sd, b"client, later")

    def test_client_whose_machine_vanished_is_served_when_back(self):
        sd, cd = self.start_display(), self.start_display()
        self.start_in("s", sd, PORT, "/server")
        client = self.start_in("c", cd, "/addr:" + ADDRESSES["s"], PORT, "/client")
        self.crosses(cd, sd, b"before it vanished", 10)
        # Gone without a word: no close reaches the server.
        ip("-n", self.ns["c"], "link", "set", "dev", self.tag + "c", "down")
        client.kill()
        ip("netns", "del", self.ns["c"])
        ip("netns", "add", self.ns["c"])
        self.link_client()
        self.start_in("c", cd, "/addr:" + ADDRESSES["s"], PORT, "/client", installation=client.installation)
        self.crosses(cd, sd, b"back again")

    def test_host_names_connect_and_an_unknown_one_is_tried_again(self):
        sd, cd = self.start_display(), self.start_display()
        port = free_port()
        self.start_program(sd, "/port:%d" % port, "/server")
        wait_listening(port)
        self.start_program(cd, "/addr:localhost", "/port:%d" % port, "/client")
        self.crosses(cd, sd, b"through localhost", 10)

        sd, cd = self.start_display(), self.start_display()
        self.start_in("s", sd, PORT, "/server")
        self.start_in("c", cd, "/addr:tsrc-later", PORT, "/client")
        cd.set_clipboard(b"once the name is known")
        holds_for(lambda: sd.get_clipboard() is None, 3)
        with self.hosts.open("a") as hosts:
            hosts.write("%s tsrc-later\n" % ADDRESSES["s"])
        wait_until(lambda: sd.get_clipboard() == b"once the name is known", SyncS)

    def test_reconnect_0_keeps_the_single_attempt(self):
        port = free_port()
        client = self.start_program(self.start_display(), "/addr:127.0.0.1", "/port:%d" % port, "/client",
                                    settings=b"[TESSAROPRO]\r\nRECONNECT=0\r\n")
        client.main_window()
        self.start_program(self.start_display(), "/port:%d" % port, "/server")
        wait_listening(port)
        holds_for(lambda: not served(port), 3, message="no connection")

    def test_resume_from_suspend_makes_the_connection_afresh_at_once(self):
        address = "unix:path=%s/system_bus" % self.workdir
        daemon = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--address=" + address])
        self.addCleanup(daemon.wait)
        self.addCleanup(daemon.terminate)
        bus = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=address)
        logind = subprocess.Popen(["/usr/bin/python3", "-m", "dbusmock", "--system", "--template", "logind"],
                                  env=bus, stdout=subprocess.DEVNULL)
        self.addCleanup(logind.wait)
        self.addCleanup(logind.terminate)
        wait_until(lambda: b"true" in subprocess.run(
            ["dbus-send", "--bus=" + address, "--print-reply", "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
             "org.freedesktop.DBus.NameHasOwner", "string:org.freedesktop.login1"], capture_output=True).stdout)
        listener = self.peer_listener()
        self.start_program(self.start_display(), "/addr:127.0.0.1", "/port:%d" % listener.port, "/client",
                           env={"DBUS_SYSTEM_BUS_ADDRESS": address})
        first = self.accept_peer(listener)
        subprocess.run(["/usr/bin/python3", "-c", EMIT_RESUME, address], env=bus, check=True, timeout=10)
        self.accept_peer(listener, timeout=2)
        first.wait_closed(2)
