"""An Active Directory domain on one machine: a Samba domain controller
on 127.0.0.1 and two members joined to it, one mapping the domain's
accounts with idmap rid (127.0.0.2), one with autorid (127.0.0.3).

Each server lives in a mount namespace of its own, held open by a process
that only sleeps, with its own /etc (a copy of the host's with its own
hosts, resolv.conf, krb5.conf, nsswitch.conf, passwd, group and
/etc/samba), /var/lib/samba, /var/cache/samba, /var/log/samba and /run.
Commands run in it through nsenter. The test process is the clients'
machine: its own /etc names the servers and the realm. All of it is under
one folder, provisioned and joined afresh each time.

The addresses, the ports and the name /etc must be the test's own: run
it under unshare --net --mount --pid --fork --mount-proc, so that every
process it starts also ends with it, whatever happens.
"""

import concurrent.futures
import contextlib
import os
import shutil
import signal
import socket
import subprocess
import time

REALM = "ZDOM.TEST"
DNS_DOMAIN = REALM.lower()
DOMAIN = "ZDOM"
ADMINISTRATOR = "Administrator"
PASSWORDS = {ADMINISTRATOR: "Zirm-Admin-1", "zuser1": "Zirm-Pass-1", "zuser2": "Zirm-Pass-2"}
DC_ADDRESS = "127.0.0.1"
DC_NAME = "dc1"
# POSIX permissions let everyone in, so that the NT ACL decides.
PERMISSIVE = ["create mask = 0666", "force create mode = 0666", "directory mask = 0777", "force directory mode = 0777"]
# The members' shares: acl_xattr:ignore system acls.
MEMBER_SHARES = {"xattr": "no", "ignored": "yes"}
IDMAPS = {
    "rid": ["idmap config * : backend = tdb", "idmap config * : range = 3000-7999",
            f"idmap config {DOMAIN} : backend = rid", f"idmap config {DOMAIN} : range = 10000-999999"],
    "autorid": ["idmap config * : backend = autorid", "idmap config * : range = 100000-19999999",
                "idmap config * : rangesize = 1000000"],
}
MEMBERS = {"rid": ("member1", "127.0.0.2"), "autorid": ("member2", "127.0.0.3")}
SAMBA_FOLDERS = {"lib": "/var/lib/samba", "cache": "/var/cache/samba", "log": "/var/log/samba"}
PATIENCE = 120  # seconds any one command may take


def isolated():
    """Whether this process runs as unshare --pid --fork --mount-proc
    --net made it: the first process of a PID namespace of its own, so
    with a mount namespace of its own, and with only a loopback device."""
    if os.getpid() != 1:
        return False
    done = subprocess.run(["ip", "-o", "link"], capture_output=True, text=True)
    return done.returncode == 0 and [line.split(":")[1].strip() for line in done.stdout.splitlines()] == ["lo"]


def host_lines():
    names = [(DC_NAME, DC_ADDRESS)] + list(MEMBERS.values())
    return ["127.0.0.1 localhost"] + [f"{address} {name}.{DNS_DOMAIN} {name}" for name, address in names]


def krb5_conf():
    return (f"[libdefaults]\n\tdefault_realm = {REALM}\n\tdns_lookup_kdc = false\n\tdns_lookup_realm = false\n"
            f"[realms]\n\t{REALM} = {{\n\t\tkdc = {DC_ADDRESS}\n\t}}\n"
            f"[domain_realm]\n\t.{DNS_DOMAIN} = {REALM}\n\t{DNS_DOMAIN} = {REALM}\n")


def etc_overlay(layers):
    """Shell commands that make /etc of this mount namespace its own: the
    host's, with every change kept in memory (under layers, a folder of
    the test's)."""
    return [f"mount -t tmpfs -o mode=0700 none {layers}", f"mkdir {layers}/upper {layers}/work",
            f"mount -t overlay overlay -o lowerdir=/etc,upperdir={layers}/upper,workdir={layers}/work /etc"]


def write_etc(root, nsswitch_winbind):
    """The domain's names, realm and name service in the /etc seen at
    root, and an empty /etc/samba."""
    etc = root + "/etc"
    for name in os.listdir(etc + "/samba"):
        path = os.path.join(etc, "samba", name)
        shutil.rmtree(path) if os.path.isdir(path) and not os.path.islink(path) else os.unlink(path)
    for name in ("hosts", "resolv.conf", "krb5.conf", "nsswitch.conf"):
        with contextlib.suppress(FileNotFoundError):
            os.unlink(os.path.join(etc, name))
    with open(os.path.join(etc, "hosts"), "w") as f:
        f.write("\n".join(host_lines()) + "\n")
    with open(os.path.join(etc, "resolv.conf"), "w") as f:
        f.write(f"nameserver {DC_ADDRESS}\nsearch {DNS_DOMAIN}\n")
    with open(os.path.join(etc, "krb5.conf"), "w") as f:
        f.write(krb5_conf())
    sources = "files winbind" if nsswitch_winbind else "files"
    with open(os.path.join(etc, "nsswitch.conf"), "w") as f:
        f.write(f"passwd: {sources}\ngroup: {sources}\nshadow: files\nhosts: files dns\n")
    # Accounts are the namespace's own from here on.
    for name in ("passwd", "group"):
        with open(os.path.join(etc, name), "rb") as f:
            text = f.read()
        os.unlink(os.path.join(etc, name))
        with open(os.path.join(etc, name), "wb") as f:
            f.write(text)
        os.chmod(os.path.join(etc, name), 0o644)


def wait_for(what, check, within=60):
    deadline = time.monotonic() + within
    while not check():
        if time.monotonic() > deadline:
            raise RuntimeError(f"{what} within {within} s")
        time.sleep(0.1)


def port_open(address, port):
    with socket.socket() as s:
        s.settimeout(2)
        return s.connect_ex((address, port)) == 0


def process_states():
    """{pid: (parent, mount namespace)} of every process but zombies."""
    found = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                state, parent = f.read().rpartition(")")[2].split()[:2]
            if state == "Z":
                continue  # dead, waiting for its parent (this process)
            found[int(entry)] = (int(parent), os.readlink(f"/proc/{entry}/ns/mnt"))
        except OSError:
            continue
    return found


class Server:
    """One server in a mount namespace of its own."""

    def __init__(self, base, name, address):
        self.name = name
        self.address = address
        self.fqdn = f"{name}.{DNS_DOMAIN}"
        self.dir = os.path.join(base, name)
        os.mkdir(self.dir)
        os.chmod(self.dir, 0o755)  # the users reach the shares below it
        self.holder = None
        self.namespace = None
        self.accounts = {}

    def path(self, inside):
        """A path of the server's own, as this process can reach it."""
        for key, folder in SAMBA_FOLDERS.items():
            if inside == folder or inside.startswith(folder + "/"):
                return os.path.join(self.dir, key) + inside[len(folder):]
        return f"/proc/{self.holder.pid}/root{inside}"

    def open_namespace(self):
        for key in SAMBA_FOLDERS:
            os.mkdir(os.path.join(self.dir, key))
        os.mkdir(os.path.join(self.dir, "etc"))
        mounts = etc_overlay(os.path.join(self.dir, "etc")) + [
            f"mount --bind {self.dir}/{key} {folder}" for key, folder in SAMBA_FOLDERS.items()]
        script = " && ".join(mounts + ["mount -t tmpfs -o mode=0755 none /run", "mkdir /run/samba /run/lock",
                                       "echo ready", "exec sleep infinity <&- >/dev/null"])
        self.holder = subprocess.Popen(["unshare", "--mount", "--propagation", "private", "sh", "-c", script],
                                       stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                       text=True)
        line = self.holder.stdout.readline()
        self.holder.stdout.close()
        if line != "ready\n":
            raise RuntimeError(f"the mount namespace of {self.name} could not be made")
        self.namespace = os.readlink(f"/proc/{self.holder.pid}/ns/mnt")
        write_etc(f"/proc/{self.holder.pid}/root", True)

    def command(self, *arguments):
        return ["nsenter", f"--mount=/proc/{self.holder.pid}/ns/mnt", "--", *arguments]

    def run(self, *arguments, check=True, input=None, timeout=PATIENCE):
        """A command in the server's namespace; daemons it starts get none
        of our streams."""
        done = subprocess.run(self.command(*arguments), input=input, capture_output=True, text=True,
                              timeout=timeout, env=self.environment(), cwd="/")
        if check and done.returncode != 0:
            raise RuntimeError(f"{' '.join(arguments)} failed on {self.name}:\n{done.stdout}{done.stderr}")
        return done

    def start_daemon(self, *arguments):
        subprocess.run(self.command(*arguments), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=True, timeout=PATIENCE, env=self.environment(), cwd="/")

    @staticmethod
    def environment():
        return {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "LC_ALL": "C.UTF-8"}

    def processes(self, daemon=None):
        """Every process in the server's namespace but the one holding it;
        or the daemon whose pid file is named, and its descendants."""
        states = process_states()
        ours = {pid for pid, (_, namespace) in states.items()
                if namespace == self.namespace and (self.holder is None or pid != self.holder.pid)}
        if daemon is None:
            return sorted(ours)
        try:
            with open(self.path(f"/run/samba/{daemon}.pid")) as f:
                found = {int(f.read().split()[0])} & ours
        except (OSError, ValueError, IndexError):
            return []
        while True:
            more = {pid for pid in ours if states[pid][0] in found} - found
            if not more:
                return sorted(found)
            found |= more

    def signal_all(self, pids, sig):
        for pid in pids:
            with contextlib.suppress(ProcessLookupError):
                if sig in (signal.SIGTERM, signal.SIGKILL):
                    os.kill(pid, signal.SIGCONT)  # a stopped process takes no SIGTERM
                os.kill(pid, sig)

    def stop_processes(self, daemon=None):
        """Ends them by their PIDs: SIGTERM, then SIGKILL. A daemon's
        children may outlive it, so those seen first are followed too."""
        pids = set()

        def alive():
            pids.update(self.processes(daemon))
            pids.intersection_update(process_states())
            return sorted(pids)

        for sig, wait in ((signal.SIGTERM, 10), (signal.SIGKILL, 5)):
            self.signal_all(alive(), sig)
            deadline = time.monotonic() + wait
            while alive() and time.monotonic() < deadline:
                time.sleep(0.05)
        if alive():
            raise RuntimeError(f"processes {alive()} of {self.name} do not end")

    def stop(self):
        """Ends every process of the server, whatever state it is in."""
        if self.namespace is None:
            if self.holder is not None:
                self.holder.kill()
                self.holder.wait()
            return
        self.stop_processes()
        self.holder.kill()
        self.holder.wait()

    def account(self, user):
        """(uid, gid, SID) of a domain user, as the server maps it; asked
        once, while the domain answers."""
        if user not in self.accounts:
            name = f"{DOMAIN}\\{user}"
            self.accounts[user] = (int(self.run("id", "-u", name).stdout), int(self.run("id", "-g", name).stdout),
                                   self.run("wbinfo", "-n", name).stdout.split()[0])
        return self.accounts[user]

    def home(self, user):
        """A domain user's home folder, as the server's name service gives
        it, made for the user if it is not there yet."""
        home = self.run("getent", "passwd", f"{DOMAIN}\\{user}").stdout.split(":")[5]
        if not os.path.isdir(home):
            os.makedirs(home)
            os.chown(home, self.uid(user), self.gid(user))
            os.chmod(home, 0o755)  # the second user reaches what it is let in to
        return home

    def uid(self, user):
        return self.account(user)[0]

    def gid(self, user):
        return self.account(user)[1]

    def sid(self, user):
        return self.account(user)[2]

    @contextlib.contextmanager
    def cold(self):
        """No shared engine for runs in this namespace meanwhile: its run
        folder is not closed to others, so each run starts a helper."""
        folder = self.path("/run/zirm")
        with contextlib.suppress(FileExistsError):
            os.mkdir(folder, 0o700)
        os.chmod(folder, 0o755)
        try:
            yield
        finally:
            os.chmod(folder, 0o700)


class DomainController(Server):
    def __init__(self, base):
        super().__init__(base, DC_NAME, DC_ADDRESS)
        self.data = os.path.join(self.dir, "data")

    def provision(self):
        self.run("samba-tool", "domain", "provision", f"--realm={REALM}", f"--domain={DOMAIN}", "--server-role=dc",
                 "--dns-backend=SAMBA_INTERNAL", f"--host-name={DC_NAME}", f"--host-ip={self.address}",
                 f"--adminpass={PASSWORDS[ADMINISTRATOR]}", f"--option=interfaces = {self.address}",
                 "--option=bind interfaces only = yes")
        conf = self.path("/etc/samba/smb.conf")
        with open(conf) as f:
            lines = [line for line in f.read().splitlines() if "dns forwarder" not in line]
        os.mkdir(self.data)
        os.chmod(self.data, 0o777)
        lines += ["[data]", f"\tpath = {self.data}", "\tread only = no"] + ["\t" + line for line in PERMISSIVE]
        with open(conf, "w") as f:
            f.write("\n".join(lines) + "\n")

    def start(self):
        self.start_daemon("samba", "-D")
        for port in (53, 88, 389, 445):
            wait_for(f"the domain controller did not listen on port {port}",
                     lambda: port_open(self.address, port))
        wait_for("the domain controller's winbindd did not answer",
                 lambda: self.run("wbinfo", "-p", check=False, timeout=30).returncode == 0)

    def add_users(self):
        for user, password in PASSWORDS.items():
            if user != ADMINISTRATOR:
                self.run("samba-tool", "user", "create", user, password)


class Member(Server):
    def __init__(self, base, idmap):
        name, address = MEMBERS[idmap]
        super().__init__(base, name, address)
        self.idmap = idmap

    def share_path(self, share, name=""):
        return os.path.join(self.dir, "shares", share, name.replace("\\", "/"))

    def configure(self):
        lines = ["[global]", f"workgroup = {DOMAIN}", f"realm = {REALM}", "security = ads",
                 f"netbios name = {self.name.upper()}", f"interfaces = {self.address}", "bind interfaces only = yes",
                 "load printers = no", "printing = bsd", "printcap name = /dev/null",
                 "disable spoolss = yes",
                 # The domain's Administrator is root here, for files that root owns.
                 "username map = /etc/samba/user.map", "min domain uid = 0"] + IDMAPS[self.idmap]
        os.mkdir(os.path.join(self.dir, "shares"))
        for share, ignore in MEMBER_SHARES.items():
            os.mkdir(self.share_path(share))
            os.chmod(self.share_path(share), 0o777)
            lines += [f"[{share}]", f"path = {self.share_path(share)}", "read only = no", "vfs objects = acl_xattr",
                      f"acl_xattr:ignore system acls = {ignore}"] + PERMISSIVE
        # As a member's smb.conf usually has: each user's home folder, which
        # only the name service (winbindd, for the domain's users) can tell;
        # the homes below the server's own folder, not the host's /home.
        lines[1:1] = [f"template homedir = {self.dir}/home/%D/%U"]
        if self.idmap == "autorid":
            # The domain's users by their names alone, as [homes] finds a
            # home by the share's name: \\member2\zuser1.
            lines[1:1] = ["winbind use default domain = yes"]
        lines += ["[homes]", "read only = no", "browseable = no"]
        with open(self.path("/etc/samba/smb.conf"), "w") as f:
            f.write("\n".join(lines) + "\n")
        with open(self.path("/etc/samba/user.map"), "w") as f:
            f.write(f"!root = {DOMAIN}\\{ADMINISTRATOR}\n")
        os.mkdir(self.path("/var/lib/samba/private"))

    def start(self):
        self.configure()
        self.join()
        self.start_winbindd()
        self.start_smbd()

    def join(self):
        # The controller answers its TCP ports a moment before it answers
        # the members' search for it (DNS and CLDAP).
        wait_for(f"{self.name} found no domain controller",
                 lambda: self.run("net", "ads", "lookup", check=False, timeout=30).returncode == 0)
        self.run("net", "ads", "join", "--no-dns-updates", "-U", f"{ADMINISTRATOR}%{PASSWORDS[ADMINISTRATOR]}")

    def start_winbindd(self):
        self.start_daemon("winbindd", "-D")
        wait_for(f"winbindd on {self.name} did not map the domain's users",
                 lambda: self.run("id", "-u", f"{DOMAIN}\\zuser1", check=False, timeout=30).returncode == 0)

    def start_smbd(self):
        self.start_daemon("smbd", "-D")
        wait_for(f"smbd on {self.name} did not listen", lambda: port_open(self.address, 445))

    def stop_winbindd(self):
        self.stop_processes("winbindd")


class Domain:
    def __init__(self, base):
        self.dir = base
        os.chmod(base, 0o755)
        self.dc = DomainController(base)
        self.members = {idmap: Member(base, idmap) for idmap in MEMBERS}
        self.client_conf = os.path.join(base, "client.conf")
        self.dns_domain = DNS_DOMAIN
        self.timings = {}

    def servers(self):
        return [self.dc] + list(self.members.values())

    def start(self):
        """Everything, afresh; the caller stops it even when this fails."""
        subprocess.run(["ip", "link", "set", "lo", "up"], check=True, capture_output=True)
        for _, address in MEMBERS.values():
            # smbd binds only to addresses of an interface.
            subprocess.run(["ip", "address", "add", f"{address}/8", "dev", "lo"], check=True, capture_output=True)
        # This process is the clients' machine.
        client = os.path.join(self.dir, "client")
        os.mkdir(client)
        for command in etc_overlay(client):
            subprocess.run(command.split(), check=True, capture_output=True)
        write_etc("", False)
        with open(self.client_conf, "w") as f:
            f.write(f"[global]\n\tworkgroup = {DOMAIN}\n\trealm = {REALM}\n\tclient signing = default\n")
        steps = [("namespaces", lambda: [server.open_namespace() for server in self.servers()]),
                 ("provision", self.dc.provision), ("dc start", self.dc.start), ("users", self.dc.add_users),
                 ("members join and start", self.start_members)]
        for name, step in steps:
            started = time.monotonic()
            step()
            self.timings[name] = time.monotonic() - started

    def start_members(self):
        """The members at once: each waits mostly for the controller."""
        with concurrent.futures.ThreadPoolExecutor(len(self.members)) as pool:
            for done in [pool.submit(member.start) for member in self.members.values()]:
                done.result()

    def stop(self):
        """Ends every daemon, members first, whatever state they are in."""
        errors = []
        for server in list(self.members.values()) + [self.dc]:
            try:
                server.stop()
            except Exception as error:  # every server is stopped, whatever one does
                errors.append(error)
        for mount in ("/etc", os.path.join(self.dir, "client")):
            subprocess.run(["umount", mount], capture_output=True)
        if errors:
            raise errors[0]

    # Clients.

    def connect(self, server, share, user, kerberos=False):
        """python3-samba's SMB client, which opens with exactly the access
        asked for: NTLM to the address, or Kerberos to the server's name."""
        from samba import credentials
        from samba.samba3 import libsmb_samba_internal as libsmb
        from samba.samba3 import param

        lp = param.get_context()
        lp.load(self.client_conf)
        creds = credentials.Credentials()
        creds.guess(lp)
        creds.set_domain(DOMAIN)
        creds.set_realm(REALM)
        creds.set_username(user)
        creds.set_password(PASSWORDS[user])
        creds.set_kerberos_state(credentials.MUST_USE_KERBEROS if kerberos else credentials.DONT_USE_KERBEROS)
        return libsmb.Conn(server.fqdn if kerberos else server.address, share, lp, creds)
