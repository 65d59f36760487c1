"""Samba's own ACL engine, for one object that lies in a share.

The platform layer starts this when the object it pinned may lie in a
share of the server's smb.conf. It finds the share as smbd would serve the
object and then reads and writes the object's descriptor through Samba's
ACL engine with that share's parameters, exactly as smbd does for a client:
the stored descriptor, the POSIX ACLs and the mode, mapped by Samba's own
code and idmap.

Arguments: the folder that holds Samba's Python modules, the smb.conf to
load, the identities (device:inode) of the object and of every directory
above it, nearest first, and the path at which the object is mounted for
this process alone. The engine is only ever given that path: nobody else
can change what it names.

One line out, first: "share NAME", "none", or "fail WHY". Then, for each
line in ("get INFO" or "set INFO HEX"), one line out: "ok [HEX]" or
"status 0xXXXXXXXX". It ends when its input does.
"""

import os
import pwd
import sys
import types

site, conf, identities, object_path = sys.argv[1:5]
ancestors = [tuple(int(n) for n in pair.split(":")) for pair in identities.split(",")]


class NTSTATUSError(Exception):
    """What the engine raises, with the NTSTATUS first."""


# Only the engine's own modules are loaded: the packages' __init__ files
# would import most of Samba's Python code, which costs a tenth of a second
# and is never used here. They would also give the engine its error class.
sys.path.insert(0, site)
for name in ("samba", "samba.samba3"):
    package = types.ModuleType(name)
    package.__path__ = [os.path.join(site, *name.split("."))]
    sys.modules[name] = package
sys.modules["samba"].NTSTATUSError = NTSTATUSError

from samba.auth import copy_session_info, session_info_fill_unix, system_session  # noqa: E402
from samba.dcerpc import security  # noqa: E402
from samba.samba3 import param, smbd  # noqa: E402

NT_STATUS_UNSUCCESSFUL = 0xC0000001

# What decides how an ACL set is stored and mapped. Two shares of one
# folder that differ in any of these would store one change two ways.
ACL_PARAMETERS = (
    "vfs objects", "nt acl support", "inherit acls", "inherit permissions", "inherit owner", "map acl inherit",
    "acl map full control", "acl group control", "acl check permissions", "acl allow execute always",
    "dos filemode", "force unknown acl user", "profile acls", "create mask", "force create mode",
    "directory mask", "force directory mode", "store dos attributes", "ea support",
    "acl_xattr:ignore system acls", "acl_xattr:default acl style", "acl_xattr:security_acl_name",
    "acl_tdb:ignore system acls", "acl_tdb:default acl style",
)


def reply(line):
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


def identity(path):
    try:
        st = os.stat(path)
    except OSError:
        return None
    return (st.st_dev, st.st_ino)


UNRESOLVED = object()


class Unusable(Exception):
    """The configuration cannot say which share serves the object."""


def served_folders(lp):
    """(folder, share) for every share that serves files."""
    folders = []
    for name in lp.services():
        if lp.get("printable", name) or not lp.get("available", name):
            continue
        path = lp.get("path", name)
        if name == "homes" and not path:
            # A home share for each user whose home directory the user
            # owns: system accounts have system folders as "homes" (/, /bin,
            # /dev), which would make every file a share file.
            for user in pwd.getpwall():
                try:
                    st = os.stat(user.pw_dir)
                except OSError:
                    continue
                if user.pw_dir.startswith("/") and st.st_uid == user.pw_uid:
                    folders.append((user.pw_dir, name))
            continue
        if not path.startswith("/"):
            raise Unusable("path")
        if "%" in path:
            # A folder per user or client: which one serves the object is
            # not for us to guess, but only a folder below the fixed part
            # of the path can be one of them.
            folders.append((path[:path.index("%")].rsplit("/", 1)[0] or "/", UNRESOLVED))
            continue
        folders.append((path, name))
    return folders + usershare_folders(lp)


def usershare_folders(lp):
    """The shares users made themselves, one small file each: served with
    the template share's parameters, or the defaults (service None)."""
    if lp.get("usershare max shares") <= 0:
        return []
    folder = lp.get("usershare path")
    try:
        entries = os.listdir(folder)
    except OSError:
        return []
    template = lp.get("usershare template share") or None
    folders = []
    for entry in entries:
        if entry.startswith("."):
            continue
        try:
            with open(os.path.join(folder, entry)) as f:
                lines = f.read().splitlines()
        except OSError:
            continue
        folders += [(line[5:], template) for line in lines if line.startswith("path=")]
    return folders


def find_share(lp):
    """The share whose folder holds the object, the nearest if several do
    (None for a user share without a template), or False."""
    by_identity = {}
    for path, name in served_folders(lp):
        found = identity(path)
        if found is None:
            raise Unusable("path")
        by_identity.setdefault(found, []).append(name)
    for ancestor in ancestors:
        names = sorted(set(by_identity.get(ancestor, [])), key=str)
        if not names:
            continue
        if UNRESOLVED in names:
            raise Unusable("path")
        settings = {name: [lp.get(p, name) for p in ACL_PARAMETERS] for name in names}
        if any(settings[name] != settings[names[0]] for name in names):
            raise Unusable("ambiguous")
        return names[0]
    return False


def status_of(error):
    if isinstance(error, NTSTATUSError) and error.args and isinstance(error.args[0], int):
        return error.args[0] & 0xFFFFFFFF
    return NT_STATUS_UNSUCCESSFUL


def serve(share):
    session = copy_session_info(system_session())
    session_info_fill_unix(session, None)
    for line in sys.stdin:
        words = line.split()
        try:
            if len(words) == 2 and words[0] == "get":
                sd = smbd.get_nt_acl(object_path, int(words[1]), session_info=session, service=share)
                reply("ok " + sd.__ndr_pack__().hex())
            elif len(words) == 3 and words[0] == "set":
                sd = security.descriptor()
                sd.__ndr_unpack__(bytes.fromhex(words[2]))
                smbd.set_nt_acl(object_path, int(words[1]), sd, session_info=session, service=share)
                reply("ok")
            else:
                reply("status 0x%08x" % NT_STATUS_UNSUCCESSFUL)
        except Exception as error:  # every failure goes back as a status
            reply("status 0x%08x" % status_of(error))


def main():
    lp = param.get_context()
    try:
        lp.load(conf)
    except RuntimeError:
        reply("fail config")
        return
    try:
        share = find_share(lp)
    except Unusable as why:
        reply("fail " + str(why))
        return
    if share is False:
        reply("none")
        return
    # A share that keeps no NT ACLs ignores every set: there is nothing
    # to change there, and saying it worked would be a lie.
    if not lp.get("nt acl support", share):
        reply("fail unsupported")
        return
    reply("share %s" % share)
    serve(share)


main()
