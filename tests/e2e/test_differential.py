"""zirm against Samba's own parser, blob by blob.

The project's blobs, and a few thousand deterministic mutations of them, are
stored in turn on a file or a directory and zirm is run on each. Samba's
strict parser (the one samba-tool uses) is the judge:

- a blob Samba refuses is never taken: zirm exits 1 and leaves it as it was;
- a blob Samba reads, zirm refuses only for a reason the README lists: one
  a Windows descriptor cannot say, or what another Samba release refuses or
  reads otherwise (the same build runs beside Samba 4.17 and 4.22, and this
  test runs against whichever is installed; the generator makes enough of
  every blob on which the releases differ for each to judge them);
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
OBJECT_TYPES = (5, 6, 7, 8)  # the entry types both Samba releases read object fields in
ENTRY_TYPES = tuple(range(20))  # every type Samba 4.22 names, and the ones before
# Samba 4.22 reads object fields in these callback types, where 4.17 reads the
# SID, and reads a resource attribute's claim, which 4.17 takes as padding.
READ_DIFFERENTLY_BY_RELEASE = (11, 12, 15, 18)
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


def rewrapped(blob, version):
    """A version-1 blob's descriptor, bytes as they are, behind another
    version's prefix: its offsets count from the start of the blob."""
    prefix = wrap(security.descriptor(), version)
    prefix = prefix[:descriptor_offset(prefix)]
    descriptor = bytearray(blob[8:])
    for i in range(1, 5):
        offset = struct.unpack_from("<I", descriptor, 4 * i)[0]
        if offset:
            struct.pack_into("<I", descriptor, 4 * i, offset - 8 + len(prefix))
    return prefix + bytes(descriptor)


def starting_blobs():
    blobs = {}
    for name in sorted(os.listdir(CORPUS)):
        with open(os.path.join(CORPUS, name), "rb") as f:
            blobs[name] = f.read()
        # Written by Samba 4.22, with entries the releases read differently.
        if name.startswith("samba422-"):
            for version in (2, 3, 4):
                blobs[f"{name}-v{version}"] = rewrapped(blobs[name], version)
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


def entries(blob):
    """(offset, bytes it holds) of the first entries of each ACL, walked by
    their sizes, with object fields where Samba 4.17 reads them."""
    found = []
    d = descriptor_offset(blob)
    for i in (3, 4):
        at = struct.unpack_from("<I", blob, d + 4 * i)[0]
        if not at or at + 8 > len(blob):
            continue
        count = struct.unpack_from("<H", blob, at + 4)[0]
        entry = at + 8
        for _ in range(min(count, 6)):
            sid = entry + 8
            if sid + 4 > len(blob):
                break
            if blob[entry] in OBJECT_TYPES:
                sid += 4 + 16 * bin(struct.unpack_from("<I", blob, sid)[0] & 3).count("1")
            if sid + 2 > len(blob):
                break
            found.append((entry, sid + 8 + 4 * blob[sid + 1] - entry))
            size = struct.unpack_from("<H", blob, entry + 2)[0]
            if size == 0:
                break
            entry += size
    return found


def utf8(code_point, width):
    """The code point in `width` bytes: overlong when it needs fewer, and
    past U+10FFFF or in the five- and six-byte forms when asked."""
    if width == 1:
        return bytes([code_point])
    tail = []
    for _ in range(width - 1):
        tail.insert(0, 0x80 | code_point & 0x3F)
        code_point >>= 6
    return bytes([(0xFF00 >> width) & 0xFF | code_point] + tail)


def shortest(code_point):
    return utf8(code_point, 1 if code_point < 0x80 else 2 if code_point < 0x800 else 3 if code_point < 0x10000 else 4)


def description_piece(rng, well_formed_but_for_pairs):
    """One code point, or a pair of surrogates, encoded well or badly."""
    high, low = rng.randrange(0xD800, 0xDC00), rng.randrange(0xDC00, 0xE000)
    kind = rng.randrange(3 if well_formed_but_for_pairs else 9)
    if kind == 0:
        return bytes([rng.randrange(1, 0x80)])
    if kind == 1:
        return shortest(rng.choice([rng.randrange(0x80, 0x800), rng.randrange(0x800, 0xD800),
                                    rng.randrange(0xE000, 0x10000), rng.randrange(0x10000, 0x110000), 0xFFFE,
                                    0xFFFF, 0x10FFFF]))
    if kind == 2:
        return shortest(high) + shortest(low)
    if kind == 3:
        return shortest(rng.choice((high, low)))
    if kind == 4:
        return shortest(low) + shortest(high)
    if kind == 5:
        code_point = rng.choice((0, 0x2F, rng.randrange(0x80, 0x800), rng.randrange(0x800, 0x10000), high))
        return utf8(code_point, rng.randrange(len(shortest(code_point)) + 1, 5) if code_point else 2)
    if kind == 6:
        return rng.choice((utf8(rng.randrange(0x110000, 0x200000), 4), utf8(rng.randrange(0x200000), 5),
                           utf8(rng.randrange(0x4000000), 6)))
    if kind == 7:
        return shortest(rng.randrange(0x80, 0x110000))[:-1]
    return bytes([rng.choice((0x80, 0xBF, 0xC0, 0xC1, 0xF5, 0xF8, 0xFE, 0xFF))])


def description(rng, length):
    """Text of `length` bytes; in half of them the only fault, if any, is
    an encoded surrogate pair, which the Samba releases read differently."""
    well_formed_but_for_pairs = rng.randrange(2) == 0
    text = b""
    while len(text) < length:
        piece = description_piece(rng, well_formed_but_for_pairs)
        if well_formed_but_for_pairs and len(text) + len(piece) > length:
            piece = b"a"  # not cut in two
        text += piece
    return text[:length]


def mutate(blob, rng):
    """A mutated blob, and the kinds of targeted mutation made to it."""
    b = bytearray(blob)
    fields = field_positions(blob)
    walked = entries(blob)
    made = set()
    for _ in range(rng.choice((1, 1, 1, 2, 3))):
        kind = rng.randrange(12)
        if kind < 5 and fields:
            at, width = rng.choice(fields)
            if at + width > len(b):
                continue
            old = int.from_bytes(b[at:at + width], "little")
            value = rng.choice([0, 1, 2, 3, 4, 5, 9, 0x80, 0xFF, 0xFFFF, 2000, 2001, len(b), old + 1, old - 1,
                                old + 2, old + 4, old - 4, old ^ (1 << rng.randrange(8 * width)), rng.getrandbits(32)])
            b[at:at + width] = (value % (1 << (8 * width))).to_bytes(width, "little")
        elif kind == 5 and struct.unpack_from("<H", blob)[0] == 4:
            # A description of other bytes in the same length, so that the
            # descriptor stays where it was.
            end = b.find(b"\0", 78)
            if end > 78:
                b[78:end] = description(rng, end - 78)
        elif kind == 6 and b:
            b[rng.randrange(len(b))] = rng.getrandbits(8)
        elif kind == 7 and b:
            del b[rng.randrange(len(b)):]
        elif kind == 8:
            b += bytes(rng.getrandbits(8) for _ in range(rng.choice((1, 2, 4, 8))))
        elif kind == 9 and b:
            at = rng.randrange(len(b))
            b[at:at] = bytes(rng.choice((2, 4)))
        elif kind == 10 and walked:
            # An entry whose size is less than what it holds, the entries
            # after it where they were.
            at, holds = rng.choice(walked)
            if at + 4 <= len(b) and holds > 0:
                b[at + 2:at + 4] = struct.pack("<H", rng.randrange(0, holds, rng.choice((1, 4, 4))))
                made.add("entry shorter than what it holds")
        elif kind == 11 and walked:
            at, _ = rng.choice(walked)
            if at < len(b):
                b[at] = rng.choice(ENTRY_TYPES)
                made.add(f"entry of type {b[at]}")
    return bytes(b), made


def description_kind(blob):
    """What a version-4 blob's description is, by Python's own codec."""
    if len(blob) < 80 or struct.unpack_from("<H", blob)[0] != 4 or b"\0" not in blob[78:]:
        return None
    text = blob[78:blob.index(b"\0", 78)]
    for kind, errors in (("description in UTF-8", "strict"),
                         ("description in UTF-8 but for encoded surrogates", "surrogatepass")):
        try:
            text.decode("utf-8", errors)
            return kind
        except UnicodeDecodeError:
            pass
    return "description not in UTF-8"


# The README's list of blobs that the installed Samba reads and zirm still
# refuses: because a Windows descriptor cannot say it, or because another
# Samba release refuses it or reads it otherwise.

def refusal_reasons(blob, ntacl):
    sd = descriptor_of(ntacl)
    if sd is None:
        return ["no descriptor"]
    reasons = []
    if description_kind(blob) == "description in UTF-8 but for encoded surrogates":
        reasons.append("description with an encoded surrogate (Samba 4.22 refuses it)")
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
        if any(ace.size < len(ndr_pack(ace)) for ace in acl.aces):
            reasons.append("entry shorter than what it holds (Samba 4.17 refuses it)")
        if any(ace.type in READ_DIFFERENTLY_BY_RELEASE for ace in acl.aces):
            reasons.append("entry of a type the Samba releases read differently")
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
            # Object fields and anything after the SID, as Samba reads them.
            old.access_mask = new.access_mask
            self.assertEqual(ndr_pack(new), ndr_pack(old), f"{where}: changed beyond its mask")

    def test_zirm_reads_and_writes_only_as_samba_does(self):
        rng = random.Random(20261208)
        cases = []
        for name, blob in starting_blobs().items():
            cases.append((name, blob, set()))
            for i in range(MUTATIONS):
                cases.append((f"{name} mutation {i}", *mutate(blob, rng)))

        tally, targeted = Counter(), Counter()
        for n, (name, blob, made) in enumerate(cases):
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
            outcome = "Samba refuses" if samba is None else "written" if done.returncode == 0 else "zirm refuses"
            for kind in made | {description_kind(blob)} - {None}:
                targeted[kind, outcome] += 1

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
        print("Where the Samba releases differ, blobs made:", file=sys.stderr)
        for (kind, outcome), count in sorted(targeted.items()):
            print(f"  {count:5d}  {kind}: {outcome}", file=sys.stderr)
        self.assertGreater(tally["written"], len(cases) // 8, "too few blobs were written to judge the writes")
        # Each release must meet every blob that another release reads
        # otherwise: enough of each kind, whatever this one makes of them.
        kinds = ["description in UTF-8", "description in UTF-8 but for encoded surrogates",
                 "description not in UTF-8", "entry shorter than what it holds"]
        kinds += [f"entry of type {t}" for t in ENTRY_TYPES]
        made = Counter(kind for kind, _ in targeted.elements())
        self.assertEqual([k for k in kinds if made[k] < 20], [], "kinds of blob made too rarely")


if __name__ == "__main__":
    unittest.main()
