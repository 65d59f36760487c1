"""Clustered Samba on one machine: two ctdbd nodes on 127.0.0.1 and
127.0.0.2, and an smbd on each that keeps its configuration, users and
locks in the cluster. One share, made in the cluster's registry, serves a
folder both nodes see.

The addresses and port 445 must be the test's own: run it in a network
namespace of its own (unshare --net). All state is under one folder, a
folder per node (that node's CTDB_BASE and Samba folders) and the share.
"""

import os
import signal
import subprocess
import time

from sambaserver import PERMISSIVE, SambaServer

ADDRESSES = ("127.0.0.1", "127.0.0.2")
SHARE = "clustered"


class Node(SambaServer):
    """ctdbd with CTDB_BASE at the node's folder, and an smbd that reaches
    the cluster through that ctdbd's socket."""

    def __init__(self, folder, number, cluster_dir):
        os.mkdir(folder)
        super().__init__(folder, ADDRESSES[number])
        self.cluster_dir = cluster_dir
        self.env = dict(os.environ, CTDB_TEST_MODE="yes", CTDB_BASE=folder)
        self.socket = os.path.join(folder, "run", "ctdbd.socket")
        self.ctdbd = None

    def global_lines(self):
        return super().global_lines() + ["clustering = yes", f"ctdbd socket = {self.socket}", "include = registry"]

    def share_lines(self):
        return []  # the share is in the cluster's registry

    def start_ctdbd(self):
        base = self.dir
        databases = {kind: os.path.join(base, "ctdb", kind) for kind in ("volatile", "persistent", "state")}
        for folder in list(databases.values()) + [os.path.join(base, "events", "legacy"), os.path.join(base, "run")]:
            os.makedirs(folder)
        with open(os.path.join(base, "nodes"), "w") as f:
            f.write("\n".join(ADDRESSES) + "\n")
        with open(os.path.join(base, "ctdb.conf"), "w") as f:
            f.write(f"[cluster]\n\tnode address = {self.address}\n"
                    f"\tcluster lock = {self.cluster_dir}/.ctdb/reclock\n[database]\n"
                    + "".join(f"\t{kind} database directory = {folder}\n" for kind, folder in databases.items())
                    + "[legacy]\n\trealtime scheduling = false\n")
        # A session of its own: ctdbd signals its process group when it
        # stops. It logs to its standard error, a file of the node's.
        with open(os.path.join(base, "log", "ctdbd.log"), "w") as log:
            self.ctdbd = subprocess.Popen(["ctdbd", "-i"], env=self.env, stdin=subprocess.DEVNULL, stdout=log,
                                          stderr=log, start_new_session=True)

    def ctdb(self, *arguments):
        return subprocess.run(["ctdb", *arguments], env=self.env, capture_output=True, text=True, timeout=30)

    def ctdb_processes(self):
        """ctdbd and everything it started: its session, or CTDB_BASE in
        the environment (ctdb-eventd, ctdb_recoverd and lock helpers outlive
        a stopped ctdbd)."""
        mark = f"CTDB_BASE={self.dir}".encode()
        found = []
        for entry in os.listdir("/proc"):
            if not entry.isdigit() or int(entry) == os.getpid():
                continue
            try:
                with open(f"/proc/{entry}/stat") as f:
                    if f.read().rpartition(")")[2].split()[0] == "Z":
                        continue  # dead, waiting for its parent
                with open(f"/proc/{entry}/environ", "rb") as f:
                    environ = f.read().split(b"\0")
                ours = mark in environ or (self.ctdbd is not None and os.getsid(int(entry)) == self.ctdbd.pid)
            except OSError:
                continue
            if ours:
                found.append(int(entry))
        return found

    def stop_ctdbd(self):
        for sig, wait in ((signal.SIGTERM, 10), (signal.SIGKILL, 5)):
            for pid in self.ctdb_processes():
                try:
                    os.kill(pid, signal.SIGCONT)  # a stopped process takes no SIGTERM
                    os.kill(pid, sig)
                except ProcessLookupError:
                    pass
            deadline = time.time() + wait
            while time.time() < deadline:
                if self.ctdbd is not None:
                    try:
                        self.ctdbd.wait(timeout=0.1)
                    except subprocess.TimeoutExpired:
                        pass
                if not self.ctdb_processes():
                    break
                time.sleep(0.1)


class Cluster:
    def __init__(self, folder):
        self.dir = folder
        os.chmod(folder, 0o755)  # the users must reach the share below it
        self.nodes = [Node(os.path.join(folder, f"node{n + 1}"), n, folder) for n in range(len(ADDRESSES))]

    def share_path(self, name=""):
        return os.path.join(self.dir, SHARE, name) if name else os.path.join(self.dir, SHARE)

    def start(self):
        subprocess.run(["ip", "link", "set", "lo", "up"], check=True, capture_output=True)
        # smbd binds only to addresses of an interface.
        subprocess.run(["ip", "address", "add", f"{ADDRESSES[1]}/8", "dev", "lo"], check=True, capture_output=True)
        os.makedirs(os.path.join(self.dir, ".ctdb"))
        os.mkdir(self.share_path())
        os.chmod(self.share_path(), 0o777)
        for node in self.nodes:
            node.configure()
            node.start_ctdbd()
        self.wait_until_healthy()
        first = self.nodes[0]
        net = ["net", "-s", first.conf, "conf"]
        subprocess.run(net + ["addshare", SHARE, self.share_path(), "writeable=y", "guest_ok=n"], check=True,
                       capture_output=True, timeout=60)
        for line in ["vfs objects = acl_xattr"] + PERMISSIVE:
            name, _, value = line.partition(" = ")
            subprocess.run(net + ["setparm", SHARE, name, value], check=True, capture_output=True, timeout=60)
        first.add_users()
        for node in self.nodes:
            node.start_daemon()

    def wait_until_healthy(self, within=60):
        deadline = time.time() + within
        while True:
            done = self.nodes[0].ctdb("nodestatus", "all")
            if done.returncode == 0:
                return
            if time.time() > deadline:
                raise RuntimeError("the cluster did not become healthy:\n" + done.stdout + done.stderr)
            time.sleep(0.5)

    def stop_smbd(self):
        for node in self.nodes:
            node.stop_daemons()

    def stop_ctdbd(self):
        for node in self.nodes:
            node.stop_ctdbd()

    def stop(self):
        """Ends every daemon, whatever state the cluster is in."""
        self.stop_smbd()
        self.stop_ctdbd()
        for node in self.nodes:
            node.stop()
