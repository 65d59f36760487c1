"""zirm against Samba's own parser, blob by blob.

The project's blobs, and a few thousand deterministic mutations of them, are
stored in turn on a file or a directory and zirm is run on each. Samba's
strict parser (the one samba-tool uses) is the judge:

- a blob Samba refuses is never taken: zirm exits 1 and leaves it as it was;
- a blob Samba reads, zirm refuses only for a reason the README lists;
- whatever zirm writes, Samba reads back as exactly the descriptor meant:
  the prefix, owner, group and SACL as they were, the DACL's entries in their
  order with only their masks changed, Everyone's by the rule and every mask
  with its generic rights mapped as smbd stores them.
"""

import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
from collections import Counter

from samba.dcerpc import security, xattr
from samba.ndr import ndr_pack, ndr_unpack

from sambatool import read_blob, write_blob

ZIRM = os.environ["ZIRM"]
CORPUS = os.path.join(os.path.dirname(__file__), "..", "..", "fuzz", "corpus")
MUTATIONS = 160  # per starting blob
ACCESSES = ["", "r", "w", "x", "rw", "rx", "wx", "rwx"]
LETTERS = {"r": (0x80000000, 0x00120089), "w": (0x40000000, 0x00120116), "x": (0x20000000, 0x001200A0)}
GENERIC_MAPPING = [(0x80000000, 0x00120089), (0x40000000, 0x00120116), (0x20000000, 0x001200A0),
                   (0x10000000, 0x001F01FF)]
OBJECT_TYPES = (5, 6, 7, 8)  # the entry types Samba reads object fields in
DACL_BITS = 0x0004 | 0x0008 | 0x0100 | 0x0400 | 0x1000
KEPT_DACL_BITS = 0x0400 | 0x1000  # auto-inherited, protected
MALFORMED = "GetFileSecurity() failed.\n\tThe security descriptor is malformed.\n"
DOMAIN = security.dom_sid("S-1-5-21-1-2-3")

DESCRIPTORS = [
    "O:BAG:SYD:PAI(A;;0x001f01ff;;;BA)(D;;0x00010000;;;WD)(A;ID;0x001200a9;;;WD)(A;;GR;;;BU)(A;;0x001f01ff;;;WD)",
    "O:SYG:BAD:AI(A;OICI;GA;;;BA)(A;CI;0x001200a9;;;WD)(A;OIIO;GR;;;WD)(A;IO;GA;;;WD)(A;OI;GX;;;WD)"
    "(A;CIIO;0x1;;;WD)(D;NP;GW;;;WD)S:(AU;SA;GR;;;WD)",
    "D:(OA;;RP;bf967a86-0de6-11d0-a285-00aa003049e2;;WD)"
    "(OA;CI;WP;bf967a86-0de6-11d0-a285-00aa003049e2;bf967aba-0de6-11d0-a285-00aa003049e2;WD)(A;;GR;;;WD)",
    "O:BAG:BA",
    "O:BAD:",
    "G:SYD:(A;;GRGW;;;WD)S:(AU;FA;GA;;;BU)(AU;SA;0x1;;;WD)",
]


def samba_reads(blob):
    try:
        return ndr_unpack(xattr.NTACL, blob, allow_remaining=False)
    except Exception:  # any refusal of Samba's parser
        return None


def descriptor_of(ntacl):
    return ntacl.info if ntacl.version == 1 else (ntacl.info.sd if ntacl.info is not None else None)


def wrap(sd, version):
    """A blob of this version around the descriptor, as Samba encodes it."""
    ntacl = xattr.NTACL()
    ntacl.version = version
    if version == 1:
        ntacl.info = sd
        return ndr_pack(ntacl)
    info = {2: xattr.security_descriptor_hash_v2, 3: xattr.security_descriptor_hash_v3,
            4: xattr.security_descriptor_hash_v4}[version]()
    info.sd = sd
    if version == 2:
        info.hash = list(range(16))
    else:
        info.hash_type = 1 if version == 4 else 0
        info.hash = list(range(1, 33)) + [0] * 32  # a SHA-256: the second half is zero
    if version == 4:
        info.description = "posix_acl"
        info.time = 133000000000000000
        info.sys_acl_hash = [0x5A] * 64
    ntacl.info = info
    return ndr_pack(ntacl)


def starting_blobs():
    blobs = {}
    for name in sorted(os.listdir(CORPUS)):
        with open(os.path.join(CORPUS, name), "rb") as f:
            blobs[name] = f.read()
    for i, sddl in enumerate(DESCRIPTORS):
        sd = security.descriptor.from_sddl(sddl, DOMAIN)
        for version in (1, 2, 3, 4):
            blobs[f"sddl{i}-v{version}"] = wrap(sd, version)
    null_dacl = security.descriptor()
    null_dacl.type = security.SEC_DESC_SELF_RELATIVE | security.SEC_DESC_DACL_PRESENT
    blobs["null-dacl-v4"] = wrap(null_dacl, 4)
    many = security.descriptor.from_sddl("D:" + "(A;;GR;;;WD)(A;;0x1;;;BU)" * 1000, DOMAIN)
    blobs["2000-entries-v1"] = wrap(many, 1)
    return blobs


# Where the fields of a well-formed blob stand, for the mutations to aim at.

def descriptor_offset(blob):
    version = struct.unpack_from("<H", blob)[0]
    if version == 1:
        return 8
    if version == 2:
        return 28
    if version == 3:
        return 80
    end = blob.index(b"\0", 78)
    return (((end + 1 + 3) & ~3) + 8 + 64 + 3) & ~3


def field_positions(blob):
    """(offset, width) of every header field, ACL header and entry field."""
    fields = [(0, 2), (2, 2), (4, 4)]
    if struct.unpack_from("<H", blob)[0] > 1:
        fields.append((8, 4))
    d = descriptor_offset(blob)
    fields += [(d, 1), (d + 1, 1), (d + 2, 2), (d + 4, 4), (d + 8, 4), (d + 12, 4), (d + 16, 4)]
    for i in (1, 2):
        at = struct.unpack_from("<I", blob, d + 4 * i)[0]
        if at:
            fields += [(at, 1), (at + 1, 1)]
    for i in (3, 4):
        at = struct.unpack_from("<I", blob, d + 4 * i)[0]
        if not at:
            continue
        fields += [(at, 1), (at + 1, 1), (at + 2, 2), (at + 4, 2), (at + 6, 2)]
        count = struct.unpack_from("<H", blob, at + 4)[0]
        entry = at + 8
        for _ in range(min(count, 6)):
            fields += [(entry, 1), (entry + 1, 1), (entry + 2, 2), (entry + 4, 4), (entry + 8, 4), (entry + 8, 1),
                       (entry + 9, 1)]
            entry += struct.unpack_from("<H", blob, entry + 2)[0]
    return fields


INVALID_UTF8 = [b"\xff", b"\xc0\xaf", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xe2\x82", b"\x80"]
VALID_UTF8 = [b"\xc3\xa9", b"\xed\xa0\x80\xed\xb0\x80", b"\xf0\x9f\x98\x80", b"\xef\xbf\xbf"]


def mutate(blob, rng):
    b = bytearray(blob)
    fields = field_positions(blob)
    for _ in range(rng.choice((1, 1, 1, 2, 3))):
        kind = rng.randrange(10)
        if kind < 5 and fields:
            at, width = rng.choice(fields)
            if at + width > len(b):
                continue
            old = int.from_bytes(b[at:at + width], "little")
            value = rng.choice([0, 1, 2, 3, 4, 5, 9, 0x80, 0xFF, 0xFFFF, 2000, 2001, len(b), old + 1, old - 1,
                                old + 2, old + 4, old - 4, old ^ (1 << rng.randrange(8 * width)), rng.getrandbits(32)])
            b[at:at + width] = (value % (1 << (8 * width))).to_bytes(width, "little")
        elif kind == 5 and struct.unpack_from("<H", blob)[0] == 4:
            # A description of other bytes, valid UTF-8 or not, in the same length.
            end = b.find(b"\0", 78)
            if end < 0:
                continue
            text = rng.choice(INVALID_UTF8 + VALID_UTF8)
            replacement = (b"posix_acl"[:rng.randrange(end - 78 + 1)] + text)[:end - 78]
            replacement += b"a" * (end - 78 - len(replacement))
            b[78:end] = replacement
        elif kind == 6 and b:
            b[rng.randrange(len(b))] = rng.getrandbits(8)
        elif kind == 7 and b:
            del b[rng.randrange(len(b)):]
        elif kind == 8:
            b += bytes(rng.getrandbits(8) for _ in range(rng.choice((1, 2, 4, 8))))
        elif b:
            at = rng.randrange(len(b))
            b[at:at] = bytes(rng.choice((2, 4)))
    return bytes(b)


# The README's list of blobs that Samba reads and zirm still refuses.

def refusal_reasons(blob, ntacl):
    sd = descriptor_of(ntacl)
    if sd is None:
        return ["no descriptor"]
    reasons = []
    d = descriptor_offset(blob)
    if blob[d] != 1:
        reasons.append("descriptor revision not 1")
    control = struct.unpack_from("<H", blob, d + 2)[0]
    offsets = struct.unpack_from("<IIII", blob, d + 4)
    for offset in offsets:
        if offset and (offset % 4 or offset < d + 20):
            reasons.append("part offset unaligned or inside the header")
    if offsets[2] and not control & 0x0010:
        reasons.append("SACL offset without its present bit")
    if offsets[3] and not control & 0x0004:
        reasons.append("DACL offset without its present bit")
    sids = [sid for sid in (sd.owner_sid, sd.group_sid) if sid is not None]
    for acl, offset in ((sd.sacl, offsets[2]), (sd.dacl, offsets[3])):
        if acl is None:
            continue
        if acl.revision not in (2, 3, 4):
            reasons.append("ACL revision not 2 to 4 (or Sbz1 not 0)")
        in_use = 8 + sum(ace.size for ace in acl.aces)
        if acl.size % 4 or acl.size < in_use or offset + acl.size > len(blob):
            reasons.append("ACL size unaligned, short of its entries or past the blob")
        if any(ace.size % 4 for ace in acl.aces):
            reasons.append("entry size unaligned")
        sids += [ace.trustee for ace in acl.aces]
    if any(str(sid).split("-")[1] != "1" for sid in sids):
        reasons.append("SID revision not 1")
    return reasons


def stored(mask):
    for generic, specific in GENERIC_MAPPING:
        if mask & generic:
            mask = (mask & ~generic) | specific
    return mask


def expected_mask(ace, directory, access):
    generic = sum(LETTERS[c][0] for c in set(access))
    specific = 0
    for c in set(access):
        specific |= LETTERS[c][1]
    mask = ace.access_mask
    if str(ace.trustee) == "S-1-1-0":
        if not directory:
            mask = generic
        elif ace.flags == 0x02:
            mask = specific
        elif ace.flags in (0x01, 0x08, 0x09):
            mask = generic
    return stored(mask)


class DifferentialTest(unittest.TestCase):
    def setUp(self):
        # tmpfs keeps attributes up to 64 KiB.
        self.dir = tempfile.mkdtemp(prefix="zirm-differential-", dir="/dev/shm")
        self.addCleanup(shutil.rmtree, self.dir)
        self.file = os.path.join(self.dir, "file")
        open(self.file, "w").close()
        self.directory = os.path.join(self.dir, "directory")
        os.mkdir(self.directory)

    def check_written(self, name, before_ntacl, after_blob, directory, access):
        after_ntacl = samba_reads(after_blob)
        self.assertIsNotNone(after_ntacl, f"{name}: Samba cannot read what zirm wrote")
        self.assertEqual(after_ntacl.version, before_ntacl.version, name)
        if before_ntacl.version > 1:
            for field in ("hash_type", "hash", "description", "time", "sys_acl_hash"):
                if hasattr(before_ntacl.info, field):
                    self.assertEqual(getattr(after_ntacl.info, field), getattr(before_ntacl.info, field), name)
        before, after = descriptor_of(before_ntacl), descriptor_of(after_ntacl)
        self.assertEqual(after.revision, before.revision, name)
        self.assertEqual(str(after.owner_sid), str(before.owner_sid), name)
        self.assertEqual(str(after.group_sid), str(before.group_sid), name)
        self.assertEqual(after.sacl is None, before.sacl is None, name)
        if before.sacl is not None:
            self.assertEqual(ndr_pack(after.sacl), ndr_pack(before.sacl), f"{name}: the SACL changed")
        self.assertEqual(after.type, (before.type & ~DACL_BITS) | 0x0004 | (before.type & KEPT_DACL_BITS), name)
        self.assertEqual(after.dacl.revision, 2, name)
        self.assertEqual(len(after.dacl.aces), len(before.dacl.aces), name)
        for i, (old, new) in enumerate(zip(before.dacl.aces, after.dacl.aces)):
            where = f"{name}: entry {i}"
            self.assertEqual((new.type, new.flags, new.size, str(new.trustee)),
                             (old.type, old.flags, old.size, str(old.trustee)), where)
            self.assertEqual(new.access_mask, expected_mask(old, directory, access), where)

    def test_zirm_reads_and_writes_only_as_samba_does(self):
        rng = random.Random(20261208)
        cases = []
        for name, blob in starting_blobs().items():
            cases.append((name, blob))
            cases += [(f"{name} mutation {i}", mutate(blob, rng)) for i in range(MUTATIONS)]

        tally = Counter()
        for n, (name, blob) in enumerate(cases):
            directory = n % 3 == 2
            target = self.directory if directory else self.file
            access = ACCESSES[n % len(ACCESSES)]
            try:
                write_blob(target, blob)
            except OSError:
                tally["too large to store"] += 1
                continue
            samba = samba_reads(blob)
            done = subprocess.run([ZIRM, access, target], capture_output=True, text=True)
            after = read_blob(target)

            if samba is None:
                tally["Samba refuses"] += 1
                self.assertEqual(done.returncode, 1, f"{name}: zirm took a blob that Samba refuses")
                self.assertEqual(after, blob, name)
                continue
            if done.returncode != 0:
                self.assertEqual(after, blob, f"{name}: a failed run changed the blob")
                if done.stdout == MALFORMED:
                    reasons = refusal_reasons(blob, samba)
                    self.assertTrue(reasons, f"{name}: Samba reads this blob, and zirm refuses it for no "
                                             f"reason the README lists")
                    tally.update("refused: " + r for r in reasons)
                else:
                    tally["other failure: " + done.stdout.splitlines()[0]] += 1
                continue
            tally["written"] += 1
            self.assertEqual((done.stdout, done.stderr), ("", ""))
            if descriptor_of(samba).dacl is None:
                self.assertEqual(after, blob, f"{name}: no DACL, yet the blob changed")
                continue
            self.check_written(name, samba, after, directory, access)

        print(f"\n{len(cases)} blobs:", file=sys.stderr)
        for what, count in sorted(tally.items()):
            print(f"  {count:5d}  {what}", file=sys.stderr)
        self.assertGreater(tally["written"], len(cases) // 8, "too few blobs were written to judge the writes")


if __name__ == "__main__":
    unittest.main()
