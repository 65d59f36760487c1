"""Descriptors compared by what they say, never by how one Samba release
spells them: 4.17 writes masks as zero-padded hex, 4.22 as FA, FR, ... or
unpadded hex, and both mean the same."""

from samba.dcerpc import security

SELF_RELATIVE = 0x8000  # a form of storage, not part of what is said


def entries(acl):
    """Each entry in order, as (type, flags, mask, SID); None for no ACL."""
    if acl is None:
        return None
    return tuple((ace.type, ace.flags, ace.access_mask, str(ace.trustee)) for ace in acl.aces)


def meaning(sd):
    """Owner, group, control bits and both ACLs of a parsed descriptor, as
    named pairs: comparable, printable and usable as a key."""
    return (("owner", None if sd.owner_sid is None else str(sd.owner_sid)),
            ("group", None if sd.group_sid is None else str(sd.group_sid)),
            ("control", sd.type & ~SELF_RELATIVE), ("dacl", entries(sd.dacl)), ("sacl", entries(sd.sacl)))


def from_sddl(text, domain="S-1-5-32"):
    """The meaning of SDDL text, read by the installed Samba."""
    return meaning(security.descriptor.from_sddl(text, security.dom_sid(domain)))


def descriptor(entries, owner=None, group=None):
    """A descriptor from (type, flags, mask, SID) entries, every mask
    explicit."""
    sd = security.descriptor()
    if owner is not None:
        sd.owner_sid = security.dom_sid(owner)
    if group is not None:
        sd.group_sid = security.dom_sid(group)
    aces = []
    for kind, flags, mask, sid in entries:
        ace = security.ace()
        ace.type, ace.flags, ace.access_mask, ace.trustee = kind, flags, mask, security.dom_sid(sid)
        aces.append(ace)
    dacl = security.acl()
    dacl.revision = security.SECURITY_ACL_REVISION_NT4
    dacl.aces = aces
    dacl.num_aces = len(aces)
    sd.dacl = dacl
    sd.type |= security.SEC_DESC_DACL_PRESENT
    return sd
