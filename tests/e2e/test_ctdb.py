"""Clustered Samba: a share in the cluster's registry, served by two nodes.

Two ctdbd nodes and an smbd on each run on 127.0.0.1 and 127.0.0.2, in the
test's own network namespace (ctest runs it under unshare --net). zirm run
on node 1 must leave a file of the registry share as its owner leaves a
twin over SMB, as either node sees them; and when the cluster cannot
answer, it must fail without writing anything.
"""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

from ctdbcluster import SHARE, Cluster
from descriptors import meaning
from sambaserver import in_own_network_namespace, posix_acls
from test_samba_server import (EVERYONE, FILE_ADD_FILE, FILE_READ_DATA, FILE_WRITE_DATA, SECINFO_DACL, SECINFO_GROUP,
                               SECINFO_OWNER, set_over_smb)

ZIRM = os.environ["ZIRM"]
UNREADABLE = "GetFileSecurity() failed.\n\tThe Samba registry cannot be read.\n"
NO_ANSWER = "GetFileSecurity() failed.\n\tSamba's ACL engine did not answer in time.\n"
PATIENCE = 60  # seconds zirm may take when the cluster does not answer


class CtdbTest(unittest.TestCase):
    """unittest runs the tests by name: the one that stops the cluster
    (test_when_...) comes last."""

    @classmethod
    def setUpClass(cls):
        if os.geteuid() != 0:
            raise unittest.SkipTest("ctdbd and smbd must run as root")
        if not in_own_network_namespace():
            raise unittest.SkipTest("needs a network namespace of its own: run under unshare --net")
        cls.cluster = Cluster(tempfile.mkdtemp(prefix="zirm-ctdb-"))
        try:
            cls.cluster.start()
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.cluster.stop()
        shutil.rmtree(cls.cluster.dir, ignore_errors=True)

    def zirm(self, access, path):
        """zirm on node 1, in a session of its own so that everything it
        started goes when it is given up on."""
        env = dict(os.environ, SMB_CONF_PATH=self.cluster.nodes[0].conf)
        started = time.monotonic()
        process = subprocess.Popen([ZIRM, access, path], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, text=True, env=env, start_new_session=True)
        try:
            out, err = process.communicate(timeout=PATIENCE)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.communicate()
            self.fail(f"zirm did not end within {PATIENCE} s")
        return process.returncode, out, err, time.monotonic() - started

    def make(self, name, directory, sddl):
        """An object made over SMB through node 1 by its owner, who then
        gives it a DACL."""
        from samba.dcerpc import security

        conn = self.cluster.nodes[0].connect(SHARE, "zirmtest1")
        if directory:
            conn.mkdir(name)
        else:
            conn.savefile(name, b"made over SMB\n")
        owner = str(conn.get_acl(name, SECINFO_OWNER).owner_sid)
        conn.set_acl(name, security.descriptor.from_sddl(sddl.format(owner=owner), security.dom_sid(owner)),
                     SECINFO_DACL)
        return self.cluster.share_path(name)

    def state(self, name, directory):
        """The mode and POSIX ACLs, and through each node what smbd serves
        and what the second user may do."""
        path = self.cluster.share_path(name.replace("\\", "/"))
        seen = {"mode": oct(os.stat(path).st_mode), "posix acls": posix_acls(path)}
        for node in self.cluster.nodes:
            conn = node.connect(SHARE, "zirmtest1")
            seen[f"{node.address} serves"] = meaning(conn.get_acl(name, SECINFO_OWNER | SECINFO_GROUP | SECINFO_DACL))
            seen[f"{node.address} lets the second user read, write"] = (
                node.can_open(SHARE, name, FILE_READ_DATA, directory=directory),
                node.can_open(SHARE, name, FILE_ADD_FILE if directory else FILE_WRITE_DATA, directory=directory))
        return seen

    def set_over_smb(self, name, directory, access):
        """What zirm.exe does from a Windows client, through node 1."""
        set_over_smb(self.cluster.nodes[0], SHARE, name, access, directory)

    def file_state(self, path):
        """Everything a write would change: attributes, mode, owner, times."""
        st = os.stat(path)
        return ({name: os.getxattr(path, name) for name in os.listxattr(path)},
                (st.st_mode, st.st_uid, st.st_gid, st.st_size, st.st_mtime_ns, st.st_ctime_ns))

    def node_files(self, node):
        found = set()
        for folder in ("state", "private", "lock"):
            for top, folders, files in os.walk(os.path.join(node.dir, folder)):
                found.update(os.path.join(top, name) for name in folders + files)
        return found

    # The checks.

    def test_twins_alike_from_both_nodes(self):
        """Twins in the registry share, given a narrow DACL by their owner:
        A is then changed by zirm on node 1, B by its owner over SMB with
        the same DACL. Both nodes must serve the same for both, their modes
        and POSIX ACLs must be the same, and so must what a second user can
        do through either node, with them and with what is made inside."""
        cases = [
            # name, directory, the DACL given first, access
            ("file", False, f"D:(A;;FA;;;{{owner}})(A;;0x001200a9;;;{EVERYONE})", "rw"),
            ("folder", True, f"D:(A;OICI;FA;;;{{owner}})(A;OIIO;0x001200a9;;;{EVERYONE})"
                             f"(A;CI;0x001200a9;;;{EVERYONE})", "rwx"),
        ]
        for name, directory, sddl, access in cases:
            with self.subTest(case=name):
                path = self.make(name + "A", directory, sddl)
                self.make(name + "B", directory, sddl)
                before = self.state(name + "B", directory)
                self.assertEqual(self.state(name + "A", directory), before, "the twins differ before the change")

                code, out, err, _ = self.zirm(access, path)
                self.assertEqual((code, out, err), (0, "", ""))
                self.set_over_smb(name + "B", directory, access)

                after = self.state(name + "B", directory)
                self.assertNotEqual(after, before, "the change over SMB changed nothing seen")
                self.assertEqual(self.state(name + "A", directory), after)
                if directory:
                    conn = self.cluster.nodes[1].connect(SHARE, "zirmtest1")
                    for twin in ("A", "B"):
                        conn.savefile(f"{name}{twin}\\child", b"made inside through node 2\n")
                    self.assertEqual(self.state(f"{name}A\\child", False), self.state(f"{name}B\\child", False),
                                     "what is made inside differs")

    def test_when_the_cluster_cannot_answer(self):
        """zirm reads the share from the cluster's registry: with node 1's
        ctdbd hanging it must give up in bounded time, and with both nodes
        down say so at once; either way it writes nothing, and with the
        nodes down it leaves no file in node 1's folders. This stops the
        cluster."""
        first = self.cluster.nodes[0]
        path = self.make("kept", False, f"D:(A;;FA;;;{{owner}})(A;;0x001200a9;;;{EVERYONE})")

        with self.subTest(case="ctdbd hanging"):
            before = self.file_state(path)
            first.ctdbd.send_signal(signal.SIGSTOP)
            try:
                code, out, err, took = self.zirm("rw", path)
            finally:
                first.ctdbd.send_signal(signal.SIGCONT)
            print(f"\nctdbd hanging: zirm ended in {took:.1f} s with {out!r}", file=sys.stderr)
            self.assertEqual(self.file_state(path), before, "something was written")
            self.assertIn(out, (UNREADABLE, NO_ANSWER))
            self.assertEqual((code, err), (1, ""))

        with self.subTest(case="ctdbd down"):
            # smbd changes its own folders: it goes first.
            self.cluster.stop_smbd()
            self.cluster.stop_ctdbd()
            before, files = self.file_state(path), self.node_files(first)
            code, out, err, _ = self.zirm("rw", path)
            self.assertEqual(self.file_state(path), before, "something was written")
            self.assertEqual(self.node_files(first), files, "files were made in the node's folders")
            self.assertEqual((code, out, err), (1, UNREADABLE, ""))


if __name__ == "__main__":
    unittest.main()
