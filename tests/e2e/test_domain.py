"""zirm on the servers of an Active Directory domain.

A Samba domain controller and two members joined to it (idmap rid and
autorid) run in namespaces of their own (domain.py; ctest runs this under
unshare --net --mount --pid). Twins judge zirm on the server: A changed by
zirm, B given the same DACL over SMB by a domain user, NTLM or Kerberos;
smbd must then serve the same for both, their modes and POSIX ACLs must be
the same, and so must what a second domain user can do, with them and with
what is made inside. And when the domain's accounts cannot be mapped as a
working server maps them, zirm must refuse and write nothing.

unittest runs the tests by name: those that stop daemons come last, the
one that stops the domain controller last of all.
"""

import contextlib
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import engines
from domain import ADMINISTRATOR, MEMBER_SHARES, Domain, isolated
from descriptors import descriptor, meaning
from sambaserver import opens, posix_acls
from sambatool import v1_blob, write_blob
from test_samba_server import (EVERYONE, FILE_ADD_FILE, FILE_LIST_DIRECTORY, FILE_READ_DATA, FILE_WRITE_DATA,
                               changed_by_the_rule)

ZIRM = os.environ["ZIRM"]
SECINFO_OWNER, SECINFO_GROUP, SECINFO_DACL = 1, 2, 4
PATIENCE = 60  # seconds one zirm run may take, a hung winbindd included
SEED = 20261209
CASES_PER_SHARE_AND_CLIENT = 4
NO_WINBINDD = "GetFileSecurity() failed.\n\tThe domain's accounts cannot be mapped: winbindd does not answer.\n"
NO_CONTROLLER = "SetFileSecurity() failed.\n\tThe domain's accounts cannot be mapped: no domain controller answers.\n"
OTHER_NAMES = ("GetFileSecurity() failed.\n\tThe object has other names that a Samba share may serve: name it "
               "inside its share.\n")
# A SID of no domain that anyone here knows: winbindd maps it to nothing.
FOREIGN = "S-1-5-21-1-2-3-1000"
WELL_KNOWN = {"system": "S-1-5-18", "authenticated users": "S-1-5-11", "builtin users": "S-1-5-32-545",
              "administrators": "S-1-5-32-544", "server operators": "S-1-5-32-549"}
# How each twin is made: over SMB by its owner and given a DACL, the same
# chmod'ed on the server since, or made on the server by a domain user or
# by root (whose twin the domain's Administrator, root here, changes).
MAKINGS = ("over smb", "chmod since", "on the server", "root's")


def object_state(path):
    """Everything a write would change: every attribute, mode, owner and
    the change time."""
    st = os.stat(path)
    return ({name: os.getxattr(path, name) for name in sorted(os.listxattr(path))},
            (st.st_mode, st.st_uid, st.st_gid, st.st_ctime_ns))


class DomainTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if os.geteuid() != 0:
            raise unittest.SkipTest("Samba's servers must run as root")
        if not isolated():
            raise unittest.SkipTest("needs namespaces of its own: run under "
                                    "unshare --net --mount --pid --fork --mount-proc")
        cls.domain = Domain(tempfile.mkdtemp(prefix="zirm-domain-"))
        cls.connections = {}
        started = time.monotonic()
        try:
            cls.domain.start()
        except BaseException:
            cls.tearDownClass()
            raise
        cls.sids = {user: cls.domain.members["rid"].sid(user) for user in ("zuser1", "zuser2")}
        cls.sids["domain users"] = cls.sids["zuser1"].rpartition("-")[0] + "-513"
        print(f"\nthe domain set up in {time.monotonic() - started:.1f} s: "
              + ", ".join(f"{name} {took:.1f} s" for name, took in cls.domain.timings.items()), file=sys.stderr)

    @classmethod
    def tearDownClass(cls):
        cls.connections = {}
        try:
            engines.stop()
        finally:
            cls.domain.stop()
            shutil.rmtree(cls.domain.dir, ignore_errors=True)

    def connection(self, server, share, user, kerberos=False):
        """One session for each server, share, user and way of logging on,
        kept: every logon costs the controller a round of its own."""
        key = (server.name, share, user, kerberos)
        if key not in self.connections:
            self.connections[key] = self.domain.connect(server, share, user, kerberos)
        return self.connections[key]

    def can_open(self, server, share, name, access, directory):
        """Whether smbd lets the second domain user open the name so."""
        return opens(self.connection(server, share, "zuser2"), name, access, directory)

    def served_state(self, server, share, folder, name, directory, reader):
        """What smbd serves for the object (read by its owner), its mode and
        POSIX ACLs, and what the second domain user may do with it."""
        path = os.path.join(folder, name.replace("\\", "/"))
        served = self.connection(server, share, reader).get_acl(name, SECINFO_OWNER | SECINFO_GROUP | SECINFO_DACL)
        acls = posix_acls(path)
        can = (self.can_open(server, share, name, FILE_LIST_DIRECTORY if directory else FILE_READ_DATA, directory),
               self.can_open(server, share, name, FILE_ADD_FILE if directory else FILE_WRITE_DATA, directory))
        return {"served": meaning(served), "mode": oct(os.stat(path).st_mode), "posix acls": acls,
                "second user can": can}

    def zirm(self, server, access, path, engine):
        """One run on the server, in its namespaces; "warm": through the
        engine that runs share, which must be seen while it runs or after;
        "cold": with a helper of its own, no engine seen at all."""
        if engine == "cold":
            engines.stop()
        started = time.monotonic()
        seen = False
        with server.cold() if engine == "cold" else contextlib.nullcontext():
            process = subprocess.Popen(server.command(ZIRM, access, path), stdin=subprocess.DEVNULL,
                                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                       env=server.environment(), cwd="/", start_new_session=True)
            try:
                while True:
                    try:
                        out, err = process.communicate(timeout=0.2)
                        break
                    except subprocess.TimeoutExpired:
                        seen = seen or bool(engines.engines())
                        if time.monotonic() - started > PATIENCE:
                            raise
            except subprocess.TimeoutExpired:
                os.killpg(process.pid, signal.SIGKILL)
                process.communicate()
                self.fail(f"zirm did not end within {PATIENCE} s")
        took = time.monotonic() - started
        seen = seen or bool(engines.engines())
        self.assertEqual(seen, engine == "warm", f"the run was not {engine}")
        return process.returncode, out, err, took

    def make_twins(self, server, share, folder, name, directory, making, entries, maker):
        """Twins A and B made alike; the user who then changes B over SMB."""
        conn = self.connection(server, share, maker)
        setter = maker
        for twin in ("A", "B"):
            path = os.path.join(folder, name + twin)
            if making in ("on the server", "root's"):
                if directory:
                    os.mkdir(path)
                else:
                    with open(path, "w") as f:
                        f.write("made on the server\n")
                if making == "on the server":
                    os.chown(path, server.uid(maker), server.gid(maker))
                else:
                    setter = ADMINISTRATOR
                os.chmod(path, 0o755 if directory else 0o644)
                continue
            if directory:
                conn.mkdir(name + twin)
            else:
                conn.savefile(name + twin, b"made over SMB\n")
            owner = str(conn.get_acl(name + twin, SECINFO_OWNER).owner_sid)
            conn.set_acl(name + twin, descriptor([(k, f, m, owner if s is None else s) for k, f, m, s in entries]),
                         SECINFO_DACL)
            if making == "chmod since":
                os.chmod(path, 0o755 if directory else 0o644)
        return setter

    def twins(self, server, share, folder, inside, cases, makers, engines_used=("warm", "cold")):
        """Each case: its twins, A changed by zirm on the server (at the
        path the server has for it), B over SMB; then judged alike. Gives
        how many cases the change made look different."""
        visible = 0
        for number, (name, directory, making, entries, access, kerberos) in enumerate(cases):
            engine = engines_used[number % len(engines_used)]
            with self.subTest(server=server.name, share=share, case=name, making=making, access=access,
                              client="kerberos" if kerberos else "ntlm", engine=engine):
                maker = makers[making]
                setter = self.make_twins(server, share, folder, name, directory, making, entries, maker)
                reader = setter
                state = lambda twin, sub="": self.served_state(server, share, folder, name + twin + sub,
                                                                 directory and not sub, reader)
                before = state("B")
                self.assertEqual(state("A"), before, "the twins differ before the change")

                code, out, err, _ = self.zirm(server, access, os.path.join(inside, name + "A"), engine)
                self.assertEqual((code, out, err), (0, "", ""))
                conn = self.connection(server, share, setter, kerberos)
                sd = conn.get_acl(name + "B", SECINFO_DACL)
                conn.set_acl(name + "B", changed_by_the_rule(sd, access, directory), SECINFO_DACL)

                after = state("B")
                self.assertEqual(state("A"), after)
                visible += after != before
                if directory:
                    for twin in ("A", "B"):
                        conn.savefile(f"{name}{twin}\\child", b"made inside\n")
                        conn.mkdir(f"{name}{twin}\\folder")
                    for sub, is_folder in (("\\child", False), ("\\folder", True)):
                        self.assertEqual(self.served_state(server, share, folder, name + "A" + sub, is_folder, reader),
                                         self.served_state(server, share, folder, name + "B" + sub, is_folder, reader),
                                         f"what is made inside differs ({sub[1:]})")
        return visible

    def drawn_cases(self, rng, prefix, makings, others, kerberos):
        """Cases drawn at random: each making in turn, a file or a folder,
        a DACL of the owner (None), Everyone entries of any inheritance and
        some of the other SIDs, and the letters."""
        cases = []
        everyone_flags = (0x00, 0x01, 0x02, 0x03, 0x08, 0x09, 0x0A, 0x0B)
        everyone_masks = (0x001200A9, 0x001F01FF, 0x00120089, 0x001301BF, 0x00100020)
        for number in range(CASES_PER_SHARE_AND_CLIENT):
            directory = rng.random() < 0.4
            making = makings[number % len(makings)]
            entries = [(0, 0x03 if directory else 0, 0x001F01FF, None)]
            for _ in range(rng.randint(1, 3)):
                flags = rng.choice(everyone_flags) if directory else rng.choice((0x00, 0x00, 0x10))
                entries.append((0, flags, rng.choice(everyone_masks), EVERYONE))
            for sid in rng.sample(others, rng.randint(0, min(3, len(others)))):
                entries.append((0, 0x03 if directory and rng.random() < 0.5 else 0, rng.choice(everyone_masks), sid))
            if rng.random() < 0.3:
                # A denial that leaves the owner what it needs.
                entries.insert(0, (1, 0, rng.choice((0x00000002, 0x00010000)), self.sids["zuser2"]))
            access = "".join(letter for letter in "rwx" if rng.random() < 0.5)
            cases.append((f"{prefix}{number}", directory, making, entries, access, kerberos))
        return cases

    # The checks.

    def test_controller_shares_as_over_smb(self):
        """On the domain controller: sysvol and netlogon, whose objects
        the domain's Administrator makes and changes, and a data share of
        a domain user's."""
        dc = self.domain.dc
        rng = random.Random(SEED)
        sysvol = "/var/lib/samba/sysvol"
        netlogon = f"{sysvol}/{self.domain.dns_domain}/scripts"
        others = [WELL_KNOWN["system"], WELL_KNOWN["authenticated users"], WELL_KNOWN["administrators"],
                  WELL_KNOWN["server operators"], self.sids["zuser2"], self.sids["domain users"], FOREIGN]
        visible = count = 0
        for share, inside, maker in (("sysvol", sysvol, ADMINISTRATOR), ("netlogon", netlogon, ADMINISTRATOR),
                                     ("data", dc.data, "zuser1")):
            for kerberos in (False, True):
                cases = self.drawn_cases(rng, f"{share}{'k' if kerberos else 'n'}", ("over smb",), others, kerberos)
                visible += self.twins(dc, share, dc.path(inside), inside, cases, {"over smb": maker})
                count += len(cases)
        # Twins alike prove little when the change is not seen.
        self.assertGreater(visible, count // 2, "most changes left the twins as they were")

    def test_member_shares_as_over_smb(self):
        """On each member (idmap rid, autorid): a share keeping POSIX ACLs
        in step and one ignoring them, changed over NTLM and Kerberos."""
        rng = random.Random(SEED + 1)
        others = [WELL_KNOWN["system"], WELL_KNOWN["authenticated users"], WELL_KNOWN["builtin users"],
                  self.sids["zuser2"], self.sids["domain users"], FOREIGN]
        makers = {"over smb": "zuser1", "chmod since": "zuser1", "on the server": "zuser1", "root's": ADMINISTRATOR}
        visible = count = 0
        for idmap, member in self.domain.members.items():
            for share in MEMBER_SHARES:
                for kerberos in (False, True):
                    cases = self.drawn_cases(rng, f"{idmap}{'k' if kerberos else 'n'}", MAKINGS, others, kerberos)
                    folder = member.share_path(share)
                    visible += self.twins(member, share, folder, folder, cases, makers)
                    count += len(cases)
        self.assertGreater(visible, count // 2, "most changes left the twins as they were")

    def test_member_homes_as_over_smb(self):
        """[homes] on a member serves each domain user's home, which only
        winbindd can tell (no list of the domain's users is asked for):
        twins in two users' homes, the second made after the loaded process
        that serves both, then with helpers of their own."""
        member = self.domain.members["autorid"]
        rng = random.Random(SEED + 2)
        others = [WELL_KNOWN["system"], WELL_KNOWN["authenticated users"], self.sids["domain users"]]
        visible = count = 0
        for engine in ("warm", "cold"):
            engines.stop()
            loaded = None
            for user in ("zuser1", "zuser2"):
                home = member.home(user)
                makers = {"over smb": user, "chmod since": user, "on the server": user, "root's": ADMINISTRATOR}
                cases = self.drawn_cases(rng, f"home{engine}", MAKINGS, others, False)
                visible += self.twins(member, user, home, home, cases, makers, (engine,))
                count += len(cases)
                if engine == "warm":
                    served = {pid for pid in engines.processes() if pid not in engines.engines()}
                    self.assertEqual(len(served), 1, "the runs were not served by one loaded process")
                    self.assertIn(loaded, (None, served), "another process served the second home")
                    loaded = served
        self.assertGreater(visible, count // 2, "most changes left the twins as they were")
        # A home itself, its share's root, has no twin: once zirm has changed
        # it, setting over SMB what zirm should have set must change nothing.
        home = member.home("zuser1")
        conn = self.connection(member, "zuser1", "zuser1")
        for engine, access in (("warm", "rwx"), ("cold", "r")):
            with self.subTest(case="a home itself", engine=engine):
                before = conn.get_acl("", SECINFO_DACL)
                code, out, err, _ = self.zirm(member, access, home, engine)
                self.assertEqual((code, out, err), (0, "", ""))
                after = self.served_state(member, "zuser1", home, "", True, "zuser1")
                conn.set_acl("", changed_by_the_rule(before, access, True), SECINFO_DACL)
                self.assertEqual(self.served_state(member, "zuser1", home, "", True, "zuser1"), after)

    def test_member_refuses_other_names_it_cannot_place(self):
        """A file with another link, on a file system that holds no share's
        folder, of a member whose [homes] serves users only winbindd knows:
        that link may lie in such a user's home, where smbd would serve it,
        so zirm refuses."""
        member = self.domain.members["rid"]
        folder = os.path.join(member.dir, "links")
        os.makedirs(folder, exist_ok=True)
        member.run("mount", "-t", "tmpfs", "-o", "mode=0755", "links", folder)
        path, seen_here = os.path.join(folder, "linked"), os.path.join(member.path(folder), "linked")
        with open(seen_here, "w") as f:
            f.write("kept\n")
        # A descriptor stored in place, which zirm would otherwise change.
        write_blob(seen_here, v1_blob(descriptor([(0, 0, 0x001200A9, EVERYONE)], WELL_KNOWN["system"])))
        os.link(seen_here, os.path.join(member.path(folder), "other name"))
        before = object_state(seen_here)
        for engine in ("warm", "cold"):
            with self.subTest(engine=engine):
                code, out, err, _ = self.zirm(member, "rw", path, engine)
                self.assertEqual((code, out, err), (1, OTHER_NAMES, ""))
                self.assertEqual(object_state(seen_here), before, "something was written")

    def fault_object(self, member, name):
        """A file of a domain user's whose DACL names another domain user."""
        conn = self.connection(member, "xattr", "zuser1")
        conn.savefile(name, b"kept\n")
        owner = str(conn.get_acl(name, SECINFO_OWNER).owner_sid)
        conn.set_acl(name, descriptor([(0, 0, 0x001F01FF, owner), (0, 0, 0x001200A9, self.sids["zuser2"]),
                                       (0, 0, 0x001200A9, EVERYONE)]), SECINFO_DACL)
        return member.share_path("xattr", name)

    def changed(self, member, path, engine, access="r"):
        """A run that works, which also leaves the idmap cache holding the
        accounts of the file's DACL."""
        code, out, err, _ = self.zirm(member, access, path, engine)
        self.assertEqual((code, out, err), (0, "", ""))

    def assert_refused(self, member, path, printed, engine):
        before = object_state(path)
        code, out, err, took = self.zirm(member, "rw", path, engine)
        self.assertEqual(object_state(path), before, "something was written")
        self.assertEqual((code, out, err), (1, printed, ""))
        return took

    def test_refused_when_winbindd_does_not_answer(self):
        """On the rid member: winbindd stopped with the idmap cache warm
        and flushed, its pipe missing, winbindd hung. zirm must exit 1 with
        its message and leave the file byte for byte as it was, on the
        shared engine and with a helper of its own; and work again once
        winbindd answers."""
        member = self.domain.members["rid"]
        path = self.fault_object(member, "kept")
        cached = f"IDMAP/SID2XID/{self.sids['zuser2']}"
        pipe = member.path("/run/samba/winbindd/pipe")
        for engine in ("warm", "cold"):
            with self.subTest(case="winbindd stopped, the cache warm", engine=engine):
                self.changed(member, path, engine)
                member.stop_winbindd()
                self.assertIn(cached, member.run("net", "cache", "list").stdout, "the cache is not warm")
                self.assert_refused(member, path, NO_WINBINDD, engine)
            with self.subTest(case="winbindd stopped, the cache flushed", engine=engine):
                member.run("net", "cache", "flush")
                self.assertNotIn(cached, member.run("net", "cache", "list").stdout, "the cache was not flushed")
                self.assert_refused(member, path, NO_WINBINDD, engine)
            member.start_winbindd()
            with self.subTest(case="its pipe missing", engine=engine):
                # A run just before, so that a loaded process has been
                # connected to winbindd: a connection kept from it must not
                # serve the next run.
                self.changed(member, path, engine)
                os.rename(pipe, pipe + ".aside")
                try:
                    self.assert_refused(member, path, NO_WINBINDD, engine)
                finally:
                    os.rename(pipe + ".aside", pipe)
            with self.subTest(case="winbindd hung", engine=engine):
                hung = member.processes("winbindd")
                member.signal_all(hung, signal.SIGSTOP)
                try:
                    took = self.assert_refused(member, path, NO_WINBINDD, engine)
                finally:
                    member.signal_all(hung, signal.SIGCONT)
                print(f"\nwinbindd hung ({engine}): refused in {took:.1f} s", file=sys.stderr)
        with self.subTest(case="winbindd answering again"):
            self.changed(member, path, "warm", "rw")

    def test_refused_without_a_domain_controller(self):
        """With the controller gone and winbindd answering, accounts that
        the member maps by itself (rid) still map, but a SID winbindd
        cannot place is refused: a working server might have mapped it.
        This stops the domain controller."""
        member = self.domain.members["rid"]
        foreign = member.share_path("xattr", "foreign")
        named = self.fault_object(member, "named")
        reader = member.uid("zuser2")
        conn = self.connection(member, "xattr", "zuser1")
        conn.savefile("foreign", b"kept\n")
        owner = str(conn.get_acl("foreign", SECINFO_OWNER).owner_sid)
        conn.set_acl("foreign", descriptor([(0, 0, 0x001F01FF, owner), (0, 0, 0x001200A9, FOREIGN),
                                            (0, 0, 0x001200A9, EVERYONE)]), SECINFO_DACL)
        self.domain.dc.stop_processes()
        for engine in ("warm", "cold"):
            with self.subTest(case="a SID nobody maps", engine=engine):
                took = self.assert_refused(member, foreign, NO_CONTROLLER, engine)
                print(f"\nno domain controller ({engine}): refused in {took:.1f} s", file=sys.stderr)
            with self.subTest(case="the domain's users, mapped by rid", engine=engine):
                self.changed(member, named, engine, "rw" if engine == "warm" else "r")
                # The kernel's POSIX ACL still grants the second user read.
                acl = os.getxattr(named, "system.posix_acl_access")
                entries = {(int.from_bytes(acl[i:i + 2], "little"), int.from_bytes(acl[i + 4:i + 8], "little")):
                           int.from_bytes(acl[i + 2:i + 4], "little") for i in range(4, len(acl), 8)}
                self.assertTrue(entries.get((0x02, reader), 0) & 4, f"zuser2 lost read: {entries}")


if __name__ == "__main__":
    unittest.main()
