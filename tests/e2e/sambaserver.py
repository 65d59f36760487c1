"""A Samba server of our own on 127.0.0.1:445 (or another loopback
address) of the test's own network namespace, with all its state in one folder and two shares that keep NT
ACLs in security.NTACL: "v4" writes version-4 blobs (system ACLs kept in
step), "v3" version 3; and "tdb", which keeps them in a TDB of its state
folder."""

import os
import pwd
import signal
import socket
import subprocess
import time

USERS = {"zirmtest1": "Zirm-Pass-1", "zirmtest2": "Zirm-Pass-2"}
SHARES = {"v4": "no", "v3": "yes"}  # acl_xattr:ignore system acls
# POSIX permissions let everyone in, so that the NT ACL decides.
PERMISSIVE = ["create mask = 0666", "force create mode = 0666", "directory mask = 0777", "force directory mode = 0777"]


def port_445_free(address="127.0.0.1"):
    s = socket.socket()
    try:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind((address, 445))
        return True
    except OSError:
        return False
    finally:
        s.close()


def in_own_network_namespace():
    """Whether this process runs in another network namespace than its
    parent's, as it does under unshare --net."""
    try:
        return os.readlink("/proc/self/ns/net") != os.readlink(f"/proc/{os.getppid()}/ns/net")
    except OSError:
        return False


def own_network_for_servers():
    """A test that starts smbd must have a network namespace of its own
    (ctest runs it through tests/own_network.sh): its server then never listens on
    the host's loopback, two runs on one host never meet on port 445, and
    the shared engine its runs start (an abstract socket, per network
    namespace) is the test's own."""
    import unittest

    if os.geteuid() != 0:
        raise unittest.SkipTest("smbd must run as root")
    if not in_own_network_namespace():
        raise RuntimeError("run this test through tests/own_network.sh, as ctest does: "
                           "its servers must not listen in the caller's network namespace")
    if not port_445_free():
        raise RuntimeError("cannot bind 127.0.0.1:445 in the test's own network namespace")


def posix_acls(path):
    """The access and default POSIX ACLs of a file, as stored; None for one
    it has not."""
    acls = []
    for kind in ("access", "default"):
        try:
            acls.append(os.getxattr(path, f"system.posix_acl_{kind}"))
        except OSError:
            acls.append(None)
    return acls


def opens(conn, name, access, directory=False):
    """Whether smbd lets the connection's user open the name with exactly
    this access."""
    from samba import NTSTATUSError, ntstatus

    try:
        fnum = conn.create(name, DesiredAccess=access, ShareAccess=7, CreateDisposition=1,
                           CreateOptions=1 if directory else 0)
    except NTSTATUSError as e:
        if e.args[0] == ntstatus.NT_STATUS_ACCESS_DENIED:
            return False
        raise
    conn.close(fnum)
    return True


class SambaServer:
    def __init__(self, folder, address="127.0.0.1"):
        self.dir = folder
        self.address = address
        self.conf = os.path.join(folder, "smb.conf")
        self.created_users = []
        self.nested = {}  # share: its folder below the server's folder, for a share not right below it

    def share_path(self, share, name=""):
        return os.path.join(self.dir, self.nested.get(share, share), name)

    def global_lines(self):
        """The [global] section: every folder of the server's own under its
        folder, listening on its address only."""
        d = self.dir
        return ["[global]", "workgroup = ZTEST", "netbios name = ZTEST", "server role = standalone server",
                f"interfaces = {self.address}/8", "bind interfaces only = yes", "disable netbios = yes",
                "smb ports = 445", "passdb backend = tdbsam", "load printers = no", "printing = bsd",
                "printcap name = /dev/null", "disable spoolss = yes", f"log file = {d}/log/%m.log",
                f"private dir = {d}/private", f"lock directory = {d}/lock", f"state directory = {d}/state",
                f"cache directory = {d}/cache", f"pid directory = {d}/pid", f"ncalrpc dir = {d}/ncalrpc"]

    def share_lines(self):
        lines = []
        for share, ignore in SHARES.items():
            path = self.share_path(share)
            os.mkdir(path)
            os.chmod(path, 0o777)
            lines += [f"[{share}]", f"path = {path}", "read only = no", "vfs objects = acl_xattr",
                      f"acl_xattr:ignore system acls = {ignore}"] + PERMISSIVE
        os.mkdir(self.share_path("tdb"))
        os.chmod(self.share_path("tdb"), 0o777)
        return lines + ["[tdb]", f"path = {self.share_path('tdb')}", "read only = no", "vfs objects = acl_tdb"]

    def configure(self):
        os.chmod(self.dir, 0o755)  # the users must reach the shares below it
        for name in ("private", "lock", "state", "cache", "pid", "log", "ncalrpc"):
            os.mkdir(os.path.join(self.dir, name))
        with open(self.conf, "w") as f:
            f.write("\n".join(self.global_lines() + self.share_lines()) + "\n")

    def add_users(self):
        for user, password in USERS.items():
            try:
                pwd.getpwnam(user)
            except KeyError:
                subprocess.run(["useradd", "-M", user], check=True, capture_output=True)
                self.created_users.append(user)
            subprocess.run(["smbpasswd", "-c", self.conf, "-s", "-a", user], input=f"{password}\n{password}\n",
                           text=True, check=True, capture_output=True)

    def start_daemon(self):
        # The daemons never get the test's streams: they would hold ctest's
        # pipes open for as long as they run.
        subprocess.run(["smbd", "-s", self.conf, "-D"], check=True, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        deadline = time.time() + 30
        while port_445_free(self.address):
            if time.time() > deadline:
                raise RuntimeError("smbd did not start listening")
            time.sleep(0.1)

    def start(self):
        self.configure()
        self.add_users()
        self.start_daemon()

    def ours(self):
        found = subprocess.run(["pgrep", "-f", self.conf], capture_output=True, text=True).stdout.split()
        return [int(pid) for pid in found]

    def stop_daemons(self):
        """Ends every process started: the daemons by their pid files, then
        anything still running with this configuration."""
        pids = []
        for name in ("smbd.pid", "samba-dcerpcd.pid"):
            try:
                with open(os.path.join(self.dir, "pid", name)) as f:
                    pids.append(int(f.read().split()[0]))
            except (OSError, ValueError, IndexError):
                pass
        for sig, wait in ((signal.SIGTERM, 10), (signal.SIGKILL, 5)):
            for pid in pids + self.ours():
                try:
                    os.kill(pid, sig)
                except ProcessLookupError:
                    pass
            deadline = time.time() + wait
            while self.ours() and time.time() < deadline:
                time.sleep(0.1)
            pids = []

    def stop(self):
        self.stop_daemons()
        for user in self.created_users:
            subprocess.run(["userdel", user], capture_output=True)

    def connect(self, share, user):
        """A connection of python3-samba's SMB client, which opens with
        exactly the access asked for."""
        from samba import credentials
        from samba.samba3 import libsmb_samba_internal as libsmb
        from samba.samba3 import param

        lp = param.get_context()  # the client library takes smbd's kind of settings
        lp.load(self.conf)
        creds = credentials.Credentials()
        creds.guess(lp)
        creds.set_username(user)
        creds.set_password(USERS[user])
        return libsmb.Conn(self.address, share, lp, creds)

    def can_open(self, share, name, access, user="zirmtest2", directory=False):
        """Whether smbd lets the user open the name with this access."""
        return opens(self.connect(share, user), name, access, directory)

    def client(self, share, command, user="zirmtest1"):
        return subprocess.run(["smbclient", f"//{self.address}/{share}", "-U", f"{user}%{USERS[user]}",
                               "-s", self.conf, "-c", command], capture_output=True, text=True)

    def cacls_command(self, share, name, *arguments):
        return ["smbcacls", f"//{self.address}/{share}", name, "-U", f"zirmtest1%{USERS['zirmtest1']}",
                "-s", self.conf, "--numeric", *arguments]
