// Random call sequences: see sequences.h.
//
// Every object a call reads or writes lives in a heap block of exactly the
// size the caller promises the API (a SID of its capacity, an ACL of its
// allocation, an output of the length passed), so that a read or a write
// past what the caller gave is outside the block, where a sanitizer sees
// it. The sequences keep the caller's side of every contract (an ACL's
// declared size never exceeds its block, a SID's count never its capacity,
// an entry is never smaller than its header); what they vary is what the
// API must check.
#include <windows.h>

#include <stdlib.h>
#include <string.h>

#include "sequences.h"

#ifndef FORMAT_MESSAGE_IGNORE_INSERTS
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200
#endif

#define SIDS 3
#define ACLS 2
#define DESCRIPTORS 2
#define ACL_BLOCK_MAX 512
#define MARK 0xE0E0u

struct block {
    BYTE *bytes;
    DWORD size;
};

struct sequence {
    struct choices *c;
    FILE *out;
    const char *id;
    int step;
    BOOL ended;
    struct block sid[SIDS]; // capacity: 8 + 4 sub-authorities each
    struct block acl[ACLS];
    BOOL acl_by_hand[ACLS]; // bytes the calls did not make: poked, or never initialised
    SECURITY_DESCRIPTOR *absolute[DESCRIPTORS];
    struct block relative;
};

void choices_from_number(struct choices *c, uint32_t number)
{
    uint64_t z = (uint64_t)number * 0x9E3779B97F4A7C15ull + 0x2545F4914F6CDD1Dull;

    // Mixed, so that the streams of neighbouring numbers are unrelated.
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    c->state = z ^ (z >> 31);
    c->bytes = NULL;
    c->size = c->at = 0;
}

void choices_from_bytes(struct choices *c, const uint8_t *bytes, size_t size)
{
    c->state = 0;
    c->bytes = bytes;
    c->size = size;
    c->at = 0;
}

// A number below `bound`: from the stream, or from the next bytes.
static uint32_t draw(struct sequence *s, uint32_t bound)
{
    struct choices *c = s->c;
    uint64_t z;
    uint32_t value = 0;
    int i, n = bound == 0 || bound > 65536 ? 4 : bound > 256 ? 2 : 1;

    if (c->bytes != NULL) {
        if (c->at + n > c->size) {
            s->ended = TRUE;
            return 0;
        }
        for (i = 0; i < n; i++)
            value = value << 8 | c->bytes[c->at++];
        return bound == 0 ? value : value % bound;
    }
    z = (c->state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return bound == 0 ? (uint32_t)z : (uint32_t)(z % bound);
}

// One of the values given, or, now and then, any value below `bound`.
static uint32_t pick(struct sequence *s, const uint32_t *values, size_t count, uint32_t bound)
{
    uint32_t i = draw(s, (uint32_t)count + 1);
    return i < count ? values[i] : draw(s, bound);
}
#define PICK(s, values, bound) pick(s, values, sizeof(values) / sizeof(values[0]), bound)

// A new block, filled with a pattern rather than zeros, so that a call
// that writes bytes it should leave alone shows it.
static void *filled(size_t size)
{
    // malloc(0) may give NULL; a block of no bytes is still a block.
    void *p = malloc(size > 0 ? size : 1);
    if (p == NULL)
        abort();
    memset(p, 0xA5, size);
    return p;
}

// --- the trace ---------------------------------------------------------------

static void begin(struct sequence *s, const char *call)
{
    fprintf(s->out, "%s.%02d %s(", s->id, ++s->step, call);
    SetLastError(MARK);
}

// The result, and the last error whenever the call changed it.
static void result(struct sequence *s, BOOL ok)
{
    DWORD error = GetLastError();

    fprintf(s->out, ") = %s", ok ? "TRUE" : "FALSE");
    if (error != MARK)
        fprintf(s->out, " err=%lu", (unsigned long)error);
}

static void hex(struct sequence *s, const void *bytes, DWORD size)
{
    const BYTE *p = (const BYTE *)bytes;
    DWORD i;

    fprintf(s->out, " [");
    for (i = 0; i < size; i++)
        fprintf(s->out, "%02x", p[i]);
    fprintf(s->out, "]");
}

static void end(struct sequence *s)
{
    fprintf(s->out, "\n");
}

// Which object a pointer is, since addresses differ between the two runs.
static void pointer(struct sequence *s, const char *name, const void *p, const void *base)
{
    int i;

    fprintf(s->out, " %s=", name);
    if (p == NULL) {
        fprintf(s->out, "NULL");
        return;
    }
    for (i = 0; i < ACLS; i++)
        if (p == s->acl[i].bytes) {
            fprintf(s->out, "acl%d", i);
            return;
        }
    if (base != NULL)
        fprintf(s->out, "%+lld", (long long)((const BYTE *)p - (const BYTE *)base));
    else
        fprintf(s->out, "other");
}

// --- SIDs --------------------------------------------------------------------

static void new_sid(struct sequence *s, int k, BOOL usable)
{
    static const uint32_t authorities[] = { 0, 1, 5, 16 };
    uint32_t capacity = draw(s, 17), count;
    SID_IDENTIFIER_AUTHORITY authority = { { 0, 0, 0, 0, 0, 0 } };
    int i;

    // A count past the capacity is allowed only where the call must
    // refuse it: a SID takes 15 sub-authorities at most.
    count = !usable && draw(s, 16) == 0 ? 15 + draw(s, 2) : draw(s, capacity + 1);
    if (count > capacity && count <= SID_MAX_SUB_AUTHORITIES)
        capacity = count;
    free(s->sid[k].bytes);
    s->sid[k].size = 8 + 4 * capacity;
    s->sid[k].bytes = (BYTE *)filled(s->sid[k].size);
    // A header of zeros until the call writes one: a count of 0 keeps even
    // a failed call's SID within its block.
    memset(s->sid[k].bytes, 0, 8);
    authority.Value[5] = (BYTE)PICK(s, authorities, 256);
    if (draw(s, 4) == 0)
        for (i = 0; i < 5; i++)
            authority.Value[i] = (BYTE)draw(s, 256);
    begin(s, "InitializeSid");
    fprintf(s->out, "sid%d, capacity %u, count %u", k, capacity, count);
    result(s, InitializeSid(s->sid[k].bytes, &authority, (BYTE)count));
    hex(s, s->sid[k].bytes, s->sid[k].size);
    end(s);
}

static DWORD sid_count(struct sequence *s, int k)
{
    return s->sid[k].bytes[1];
}

static void sub_authority(struct sequence *s, int k)
{
    DWORD count = sid_count(s, k), capacity = (s->sid[k].size - 8) / 4;
    const uint32_t indexes[] = { 0, count > 0 ? count - 1 : 0, count, capacity, 15, 16, MAXDWORD };
    DWORD index = PICK(s, indexes, count + 1), value = draw(s, 0);
    DWORD *at;

    begin(s, "GetSidSubAuthority");
    fprintf(s->out, "sid%d, %lu", k, (unsigned long)index);
    at = GetSidSubAuthority(s->sid[k].bytes, index);
    result(s, TRUE);
    pointer(s, "at", at, s->sid[k].bytes);
    // Written through only where the SID has room.
    if (index < capacity) {
        *at = value;
        hex(s, s->sid[k].bytes, s->sid[k].size);
    }
    end(s);
}

static void sid_queries(struct sequence *s)
{
    static const uint32_t counts[] = { 0, 1, 15, 16, 255 };
    int a = (int)draw(s, SIDS), b = (int)draw(s, SIDS);
    UCHAR count;

    switch (draw(s, 3)) {
    case 0:
        count = (UCHAR)PICK(s, counts, 256);
        begin(s, "GetSidLengthRequired");
        fprintf(s->out, "%u) = %lu", count, (unsigned long)GetSidLengthRequired(count));
        end(s);
        break;
    case 1:
        begin(s, "GetLengthSid");
        fprintf(s->out, "sid%d) = %lu", a, (unsigned long)GetLengthSid(s->sid[a].bytes));
        end(s);
        break;
    default:
        begin(s, "EqualSid");
        fprintf(s->out, "sid%d, sid%d", a, b);
        result(s, EqualSid(s->sid[a].bytes, s->sid[b].bytes));
        end(s);
    }
}

// One SID copied over another by hand, where it fits, and now and then its
// last sub-authority changed: SIDs that differ only at the end.
static void copy_sid(struct sequence *s, int from, int to)
{
    DWORD length = 8 + 4 * sid_count(s, from);

    if (from == to || length > s->sid[to].size || sid_count(s, from) > 15)
        return;
    memcpy(s->sid[to].bytes, s->sid[from].bytes, length);
    if (sid_count(s, from) > 0 && draw(s, 2))
        s->sid[to].bytes[length - 1] ^= (BYTE)(1 + draw(s, 255));
    fprintf(s->out, "%s.%02d copy sid%d to sid%d\n", s->id, ++s->step, from, to);
}

// A byte of a SID changed behind the calls' back, its count kept within
// its capacity.
static void poke_sid(struct sequence *s, int k)
{
    DWORD capacity = (s->sid[k].size - 8) / 4;
    DWORD at = draw(s, 3), value = draw(s, 256);

    if (at == 0)
        value = draw(s, 7);
    else if (at == 1)
        value = draw(s, capacity + 1);
    else
        at = 2 + draw(s, 6);
    s->sid[k].bytes[at] = (BYTE)value;
    fprintf(s->out, "%s.%02d poke sid%d[%lu] = %lu\n", s->id, ++s->step, k, (unsigned long)at, (unsigned long)value);
}

// --- ACLs --------------------------------------------------------------------

// A new ACL; `usable` gives it a length and revision that work.
static void new_acl(struct sequence *s, int k, BOOL usable)
{
    static const uint32_t revisions[] = { 2, 2, 4, 4, 3, 0, 1, 5, 6 };
    DWORD size, length, revision;

    size = 8 + 4 * draw(s, (ACL_BLOCK_MAX - 8) / 4 + 1);
    if (draw(s, 3) == 0)
        size = 8 + draw(s, 24); // small and unaligned too
    const uint32_t lengths[] = { size, size, size, size - 1, size - 4, 8, 9, 7, 0, 65535, 65536, 0x7FFFFFFF };
    length = usable ? size : PICK(s, lengths, size + 1);
    // The caller's promise: a length that can succeed fits the block.
    if (length > size && length <= 0xFFFF)
        length = size;
    revision = usable ? 2 + 2 * draw(s, 2) : PICK(s, revisions, 256);
    // A descriptor that points at the old block points at nothing now:
    // the caller's own memory, cleared as a caller would.
    for (int i = 0; i < DESCRIPTORS; i++)
        if (s->absolute[i] != NULL && s->absolute[i]->Dacl == (PACL)s->acl[k].bytes)
            s->absolute[i]->Dacl = NULL;
    free(s->acl[k].bytes);
    s->acl_by_hand[k] = FALSE;
    s->acl[k].size = size;
    s->acl[k].bytes = (BYTE *)filled(size);
    // The same for an ACL: a declared size of 0 until the call writes one.
    memset(s->acl[k].bytes, 0, 8);
    begin(s, "InitializeAcl");
    fprintf(s->out, "acl%d, block %lu, %lu, %lu", k, (unsigned long)size, (unsigned long)length,
            (unsigned long)revision);
    // A block the call did not make an ACL of holds the caller's zeros.
    s->acl_by_hand[k] = !InitializeAcl((PACL)s->acl[k].bytes, length, revision);
    result(s, !s->acl_by_hand[k]);
    hex(s, s->acl[k].bytes, 8);
    end(s);
}

// InitializeAcl on a block smaller than an ACL's header: only a failure
// that writes nothing keeps within it.
static void short_acl(struct sequence *s)
{
    DWORD size = draw(s, 8);
    BYTE *block = (BYTE *)filled(size);

    begin(s, "InitializeAcl");
    fprintf(s->out, "block %lu, %lu, 2", (unsigned long)size, (unsigned long)size);
    result(s, InitializeAcl((PACL)block, size, ACL_REVISION));
    end(s);
    free(block);
}

// The ACL's name in a trace line, marked when its bytes are not (only) the
// calls' own, and with its revision when no ACL can have it.
static const char *acl_name(struct sequence *s, int k)
{
    static char name[48];
    BYTE revision = s->acl[k].bytes[0];

    snprintf(name, sizeof(name), "acl%d%s", k, s->acl_by_hand[k] ? " by hand" : "");
    if (revision < MIN_ACL_REVISION || revision > MAX_ACL_REVISION)
        snprintf(name + strlen(name), sizeof(name) - strlen(name), " of revision %u", revision);
    return name;
}

static WORD acl_count(struct sequence *s, int k)
{
    return (WORD)(s->acl[k].bytes[4] | s->acl[k].bytes[5] << 8);
}

static void acl_information(struct sequence *s, int k)
{
    static const uint32_t lengths[] = { 12, 12, 12, 11, 8, 4, 3, 0, 16 };
    static const uint32_t classes[] = { 2, 2, 2, 2, 1, 1, 0, 3 };
    DWORD length = PICK(s, lengths, 24), info_class = PICK(s, classes, 0);
    BYTE *information = (BYTE *)filled(length);

    begin(s, "GetAclInformation");
    fprintf(s->out, "%s, %lu, %lu", acl_name(s, k), (unsigned long)length, (unsigned long)info_class);
    result(s, GetAclInformation((PACL)s->acl[k].bytes, information, length, (ACL_INFORMATION_CLASS)info_class));
    hex(s, information, length);
    end(s);
    free(information);
}

static void get_ace(struct sequence *s, int k)
{
    DWORD count = acl_count(s, k);
    const uint32_t indexes[] = { 0, 1, count > 0 ? count - 1 : 0, count, count + 1, MAXDWORD };
    DWORD index = PICK(s, indexes, count + 2);
    void *ace = NULL;

    begin(s, "GetAce");
    fprintf(s->out, "%s, %lu", acl_name(s, k), (unsigned long)index);
    result(s, GetAce((PACL)s->acl[k].bytes, index, &ace));
    pointer(s, "ace", ace, s->acl[k].bytes);
    end(s);
}

// One entry, as `list` bytes at `at`; its declared size is the real size,
// or off by one to four (never less than its header).
static DWORD put_entry(struct sequence *s, BYTE *list, DWORD at, DWORD room, char *tags)
{
    static const uint32_t types[] = { 0, 0, 0, 1, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0x0B, 0x11 };
    static const int offs[] = { 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  0,  0,  0,
                                0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, -1, -2, -3, -4 };
    BYTE type = (BYTE)PICK(s, types, 256);
    DWORD sub_authorities = draw(s, 4);
    DWORD object = type >= 5 && type <= 8 ? 4 + 16 * draw(s, 3) : 0;
    DWORD size = 8 + object + 8 + 4 * sub_authorities, declared, i;
    int off = offs[draw(s, sizeof(offs) / sizeof(offs[0]))];

    declared = (DWORD)((int)size + off);
    if (declared < 4)
        declared = 4;
    if (at + declared > room)
        return 0;
    // What the entry is, for the trace: type, declared size, and whether
    // that size is not what the entry holds.
    sprintf(tags + strlen(tags), " %u/%lu%s%s", type, (unsigned long)declared,
            off == 0  ? ""
            : off > 0 ? "+"
                      : "-",
            declared % 4 != 0 ? " odd" : "");
    list[at] = type;
    list[at + 1] = (BYTE)draw(s, 256);
    list[at + 2] = (BYTE)declared;
    list[at + 3] = (BYTE)(declared >> 8);
    // The mask, any object fields, then a SID, as far as the entry goes.
    for (i = 4; i < declared && i < size; i++)
        list[at + i] = (BYTE)draw(s, 256);
    if (8 + object + 1 < declared) {
        list[at + 8 + object] = SID_REVISION;
        list[at + 8 + object + 1] = (BYTE)sub_authorities;
    }
    return declared;
}

static void add_ace(struct sequence *s, int k)
{
    static const uint32_t revisions[] = { 2, 2, 2, 4, 4, 3, 0, 1, 5, 6 };
    // Never longer than the entries: past them the list would hold an
    // entry of no size, which Wine's AddAce walks forever.
    static const int offs[] = { 0, 0, 0, 0, 0, 0, -1, -2, -3, -4 };
    DWORD count = acl_count(s, k);
    const uint32_t starts[] = { MAXDWORD, MAXDWORD, 0, 1, count, count + 1 };
    DWORD revision = PICK(s, revisions, 256), start = PICK(s, starts, 8);
    DWORD entries = draw(s, 4), length = 0, passed, n, i;
    BYTE list[4 * 96];
    char tags[128] = "";
    BYTE *block;
    int off;

    memset(list, 0, sizeof(list));
    for (i = 0; i < entries; i++) {
        n = put_entry(s, list, length, sizeof(list), tags);
        if (n == 0)
            break;
        length += n;
    }
    off = offs[draw(s, sizeof(offs) / sizeof(offs[0]))];
    passed = (int)length + off < 0 ? 0 : (DWORD)((int)length + off);
    // The list given is a block of the length passed.
    block = (BYTE *)filled(passed);
    memcpy(block, list, passed < length ? passed : length);
    begin(s, "AddAce");
    fprintf(s->out, "%s, %lu, %lu, [%s ] %lu of %lu%s", acl_name(s, k), (unsigned long)revision, (unsigned long)start,
            tags, (unsigned long)passed, (unsigned long)length, passed < length ? " cut" : "");
    result(s, AddAce((PACL)s->acl[k].bytes, revision, start, block, passed));
    hex(s, s->acl[k].bytes, s->acl[k].size);
    end(s);
    free(block);
}

// A field of an ACL's header changed behind the calls' back; its declared
// size never past its block.
static void poke_acl(struct sequence *s, int k)
{
    BYTE *acl = s->acl[k].bytes;
    DWORD at = draw(s, 5), value;

    switch (at) {
    case 0: // the revision
        value = draw(s, 7);
        acl[0] = (BYTE)value;
        break;
    case 1: // Sbz1
        value = draw(s, 256);
        acl[1] = (BYTE)value;
        break;
    case 2: // AclSize
        value = draw(s, s->acl[k].size + 1);
        acl[2] = (BYTE)value;
        acl[3] = (BYTE)(value >> 8);
        break;
    case 3: // AceCount, never far past the entries there
        value = draw(s, acl_count(s, k) + 3u);
        acl[4] = (BYTE)value;
        acl[5] = (BYTE)(value >> 8);
        break;
    default: // Sbz2
        value = draw(s, 65536);
        acl[6] = (BYTE)value;
        acl[7] = (BYTE)(value >> 8);
    }
    s->acl_by_hand[k] = TRUE;
    fprintf(s->out, "%s.%02d poke acl%d field %lu = %lu\n", s->id, ++s->step, k, (unsigned long)at,
            (unsigned long)value);
}

// --- descriptors -------------------------------------------------------------

static const uint32_t control_values[] = { 0,
                                           SE_DACL_PROTECTED,
                                           SE_DACL_AUTO_INHERITED,
                                           SE_DACL_AUTO_INHERIT_REQ | SE_DACL_AUTO_INHERITED,
                                           SE_SACL_PROTECTED | SE_SACL_AUTO_INHERITED,
                                           SE_DACL_PRESENT,
                                           SE_DACL_DEFAULTED,
                                           SE_RM_CONTROL_VALID,
                                           SE_SELF_RELATIVE,
                                           0x0040,
                                           0x0080,
                                           0xFFFF };

static void print_descriptor(struct sequence *s, const SECURITY_DESCRIPTOR *d)
{
    fprintf(s->out, " revision=%u sbz1=%u control=0x%04x", d->Revision, d->Sbz1, d->Control);
    pointer(s, "dacl", d->Dacl, NULL);
}

static void new_descriptor(struct sequence *s, int k, BOOL usable)
{
    static const uint32_t revisions[] = { 1, 1, 1, 0, 2 };
    DWORD revision = usable ? SECURITY_DESCRIPTOR_REVISION : PICK(s, revisions, 256);

    free(s->absolute[k]);
    s->absolute[k] = (SECURITY_DESCRIPTOR *)filled(sizeof(SECURITY_DESCRIPTOR));
    begin(s, "InitializeSecurityDescriptor");
    fprintf(s->out, "sd%d, %lu", k, (unsigned long)revision);
    result(s, InitializeSecurityDescriptor(s->absolute[k], revision));
    print_descriptor(s, s->absolute[k]);
    end(s);
}

// A self-relative descriptor whose DACL offset points anywhere in it. Its
// block is never smaller than an absolute descriptor, which it is read as
// once its control word loses SE_SELF_RELATIVE.
static void new_relative(struct sequence *s)
{
    static const uint32_t revisions[] = { 1, 1, 0, 2 };
    DWORD size = sizeof(SECURITY_DESCRIPTOR) + 4 * draw(s, 8), offset;
    const uint32_t offsets[] = { 0, 20, 20, 24, 2, size - 8 };
    WORD control = (WORD)(SE_SELF_RELATIVE | PICK(s, control_values, 65536));

    free(s->relative.bytes);
    s->relative.size = size;
    s->relative.bytes = (BYTE *)filled(size);
    offset = PICK(s, offsets, size);
    s->relative.bytes[0] = (BYTE)PICK(s, revisions, 256);
    memcpy(s->relative.bytes + 2, &control, 2);
    memcpy(s->relative.bytes + 16, &offset, 4);
    fprintf(s->out, "%s.%02d relative sd: revision %u, control 0x%04x, dacl at %lu of %lu\n", s->id, ++s->step,
            s->relative.bytes[0], control, (unsigned long)offset, (unsigned long)size);
}

static PSECURITY_DESCRIPTOR a_descriptor(struct sequence *s, char *name)
{
    int k = (int)draw(s, DESCRIPTORS + 1);

    if (k == DESCRIPTORS) {
        strcpy(name, "relative");
        return s->relative.bytes;
    }
    name[0] = 's';
    name[1] = 'd';
    name[2] = (char)('0' + k);
    name[3] = '\0';
    return s->absolute[k];
}

static void descriptor_calls(struct sequence *s)
{
    static const uint32_t flags[] = { 0, 1, 2, 0x100 };
    PACL acls[] = { NULL, (PACL)s->acl[0].bytes, (PACL)s->acl[1].bytes };
    char name[16];
    PSECURITY_DESCRIPTOR d = a_descriptor(s, name);
    BOOL present = 7, defaulted = 7;
    PACL dacl = (PACL)&present; // left as it is when nothing is given
    SECURITY_DESCRIPTOR_CONTROL control = 0xEEEE, interest, bits;
    DWORD revision = 0xEEEE;
    BOOL ok;
    int which;

    switch (draw(s, 4)) {
    case 0:
        begin(s, "GetSecurityDescriptorDacl");
        fprintf(s->out, "%s", name);
        ok = GetSecurityDescriptorDacl(d, &present, &dacl, &defaulted);
        result(s, ok);
        fprintf(s->out, " present=%d defaulted=%d", present, defaulted);
        if (dacl == (PACL)&present)
            fprintf(s->out, " dacl=(unset)");
        else
            pointer(s, "dacl", dacl, d);
        end(s);
        break;
    case 1:
        which = (int)draw(s, 3);
        present = (BOOL)PICK(s, flags, 0);
        defaulted = (BOOL)PICK(s, flags, 0);
        begin(s, "SetSecurityDescriptorDacl");
        fprintf(s->out, "%s, %d, %s, %d", name, present, which == 0 ? "NULL" : which == 1 ? "acl0" : "acl1", defaulted);
        result(s, SetSecurityDescriptorDacl(d, present, acls[which], defaulted));
        if (d != s->relative.bytes)
            print_descriptor(s, (SECURITY_DESCRIPTOR *)d);
        else
            hex(s, s->relative.bytes, 20);
        end(s);
        break;
    case 2:
        begin(s, "GetSecurityDescriptorControl");
        fprintf(s->out, "%s", name);
        result(s, GetSecurityDescriptorControl(d, &control, &revision));
        fprintf(s->out, " control=0x%04x revision=%lu", control, (unsigned long)revision);
        end(s);
        break;
    default:
        interest = (SECURITY_DESCRIPTOR_CONTROL)PICK(s, control_values, 65536);
        bits = (SECURITY_DESCRIPTOR_CONTROL)(draw(s, 2) ? interest : PICK(s, control_values, 65536));
        begin(s, "SetSecurityDescriptorControl");
        fprintf(s->out, "%s, 0x%04x, 0x%04x", name, interest, bits);
        result(s, SetSecurityDescriptorControl(d, interest, bits));
        hex(s, d, 4);
        end(s);
    }
}

static void poke_descriptor(struct sequence *s)
{
    char name[16];
    BYTE *d = (BYTE *)a_descriptor(s, name);
    WORD control;

    if (draw(s, 2)) {
        d[0] = (BYTE)draw(s, 4);
        fprintf(s->out, "%s.%02d poke %s revision = %u\n", s->id, ++s->step, name, d[0]);
        return;
    }
    control = (WORD)PICK(s, control_values, 65536);
    memcpy(d + 2, &control, 2);
    fprintf(s->out, "%s.%02d poke %s control = 0x%04x\n", s->id, ++s->step, name, control);
}

// --- messages and the last error ---------------------------------------------

static void message(struct sequence *s)
{
    // Codes both sides have texts for, and one neither has.
    static const uint32_t codes[] = { 0,    2,    3,    5,    8,    19,   31,   32,   50,   52,
                                      53,   87,   109,  112,  122,  123,  126,  206,  275,  1305,
                                      1332, 1336, 1337, 1338, 1350, 1460, 1610, 1815, 1921, 0xDEAD };
    static const uint32_t languages[] = { 0x0409, 0, 0x0407, 0x0809, 0x0400 };
    static const uint32_t allocations[] = { 0, 1, 200 };
    DWORD code = codes[draw(s, sizeof(codes) / sizeof(codes[0]))];
    DWORD language = PICK(s, languages, 65536), length, size, got, flags;
    char *text = NULL, *buffer;

    flags = FORMAT_MESSAGE_FROM_SYSTEM | (draw(s, 2) ? FORMAT_MESSAGE_IGNORE_INSERTS : 0);
    size = PICK(s, allocations, 400);
    begin(s, "FormatMessageA");
    fprintf(s->out, "0x%lx allocate, %lu, 0x%lx, min %lu", (unsigned long)flags, (unsigned long)code,
            (unsigned long)language, (unsigned long)size);
    length = FormatMessageA(flags | FORMAT_MESSAGE_ALLOCATE_BUFFER, NULL, code, language, (LPSTR)&text, size, NULL);
    result(s, length != 0);
    // The texts are each side's own: only their shape is compared.
    if (length != 0)
        fprintf(s->out, " crlf=%d nul=%d", length >= 2 && text[length - 2] == '\r' && text[length - 1] == '\n',
                text[length] == '\0');
    end(s);
    if (length == 0)
        return;
    LocalFree(text);

    // Into the caller's buffer: exactly big enough, one byte short, none.
    const uint32_t sizes[] = { length + 1, length, 1, 0 };
    size = sizes[draw(s, 4)];
    buffer = (char *)filled(size);
    begin(s, "FormatMessageA");
    fprintf(s->out, "0x%lx, %lu, 0x%lx, buffer %s", (unsigned long)flags, (unsigned long)code, (unsigned long)language,
            size == length + 1 ? "exact"
            : size == length   ? "one short"
            : size == 1        ? "1"
                               : "0");
    got = FormatMessageA(flags, NULL, code, language, buffer, size, NULL);
    result(s, got != 0);
    fprintf(s->out, " %s", got == length ? "whole" : got == 0 ? "none" : "partial");
    if (got == length)
        fprintf(s->out, " nul=%d", buffer[length] == '\0');
    end(s);
    free(buffer);
}

static void last_error(struct sequence *s)
{
    static const uint32_t codes[] = { 0, 5, MARK, 0xFFFFFFFF };
    DWORD code = PICK(s, codes, 0);

    SetLastError(code);
    fprintf(s->out, "%s.%02d SetLastError(%lu) GetLastError() = %lu\n", s->id, ++s->step, (unsigned long)code,
            (unsigned long)GetLastError());
}

// --- the sequence ------------------------------------------------------------

void run_sequence(struct choices *c, const char *id, int calls, FILE *out)
{
    struct sequence s;
    int i;

    memset(&s, 0, sizeof(s));
    s.c = c;
    s.out = out;
    s.id = id;
    for (i = 0; i < SIDS; i++)
        new_sid(&s, i, TRUE);
    for (i = 0; i < ACLS; i++)
        new_acl(&s, i, TRUE);
    for (i = 0; i < DESCRIPTORS; i++)
        new_descriptor(&s, i, TRUE);
    new_relative(&s);

    for (i = 0; i < calls && !s.ended; i++) {
        int k = (int)draw(&s, ACLS);
        switch (draw(&s, 20)) {
        case 0:
            new_sid(&s, (int)draw(&s, SIDS), FALSE);
            break;
        case 1:
            sub_authority(&s, (int)draw(&s, SIDS));
            break;
        case 2:
        case 3:
            sid_queries(&s);
            break;
        case 4:
            if (draw(&s, 2))
                poke_sid(&s, (int)draw(&s, SIDS));
            else
                copy_sid(&s, (int)draw(&s, SIDS), (int)draw(&s, SIDS));
            break;
        case 5:
            new_acl(&s, k, draw(&s, 2));
            break;
        case 6:
            short_acl(&s);
            break;
        case 7:
        case 8:
            acl_information(&s, k);
            break;
        case 9:
        case 10:
            get_ace(&s, k);
            break;
        case 11:
        case 12:
        case 13:
            add_ace(&s, k);
            break;
        case 14:
            poke_acl(&s, k);
            break;
        case 15:
            new_descriptor(&s, (int)draw(&s, DESCRIPTORS), FALSE);
            break;
        case 16:
            descriptor_calls(&s);
            break;
        case 17:
            draw(&s, 2) ? poke_descriptor(&s) : new_relative(&s);
            break;
        case 18:
            message(&s);
            break;
        default:
            last_error(&s);
        }
    }

    for (i = 0; i < SIDS; i++)
        free(s.sid[i].bytes);
    for (i = 0; i < ACLS; i++)
        free(s.acl[i].bytes);
    for (i = 0; i < DESCRIPTORS; i++)
        free(s.absolute[i]);
    free(s.relative.bytes);
}
