"""Samba's own tools, as independent writers and readers of security.NTACL."""

import atexit
import os
import shutil
import subprocess
import tempfile

from samba.dcerpc import security, xattr
from samba.ndr import ndr_pack, ndr_unpack

from descriptors import from_sddl

NTACL = "security.NTACL"


class SambaTool:
    """samba-tool ntacl on local files, with a throwaway configuration."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="zirm-samba-")
        # Its configuration and state go with the process that made them.
        atexit.register(shutil.rmtree, self.dir, True)
        self.conf = os.path.join(self.dir, "smb.conf")
        folders = {name: os.path.join(self.dir, name) for name in ("private", "lock", "state", "cache")}
        for folder in folders.values():
            os.mkdir(folder)
        with open(self.conf, "w") as f:
            f.write("[global]\n    workgroup = ZTEST\n    netbios name = ZTEST\n"
                    "    server role = standalone server\n")
            for name, folder in folders.items():
                f.write(f"    {name} dir = {folder}\n" if name == "private" else
                        f"    {name} directory = {folder}\n")
        # samba-tool insists on a machine SID.
        subprocess.run(["net", "-s", self.conf, "getlocalsid"], check=True, capture_output=True)

    def set(self, path, sddl):
        subprocess.run(["samba-tool", "ntacl", "set", sddl, path, "--use-ntvfs", "-s", self.conf],
                       check=True, capture_output=True)

    def get(self, path):
        done = subprocess.run(["samba-tool", "ntacl", "get", path, "--as-sddl", "--use-ntvfs", "-s", self.conf],
                              check=True, capture_output=True, text=True)
        return done.stdout.strip()

    def meaning(self, path):
        """What samba-tool reads, as a parsed descriptor."""
        return from_sddl(self.get(path))


def read_blob(path):
    return os.getxattr(path, NTACL)


def write_blob(path, blob):
    os.setxattr(path, NTACL, blob)


def parse_blob(blob):
    """Samba's parser, which refuses anything left over."""
    return ndr_unpack(xattr.NTACL, blob, allow_remaining=False)


def v1_blob(sd):
    """A version-1 blob around the descriptor, as Samba encodes one."""
    ntacl = xattr.NTACL()
    ntacl.version = 1
    ntacl.info = sd
    return ndr_pack(ntacl)


def null_dacl_blob():
    sd = security.descriptor()
    sd.type = security.SEC_DESC_SELF_RELATIVE | security.SEC_DESC_DACL_PRESENT
    return v1_blob(sd)
