// Byte-level builders for SIDs, entries, ACLs and stored descriptors, and
// scratch files that carry them.
#ifndef ZIRM_TESTS_FIXTURES_H
#define ZIRM_TESTS_FIXTURES_H

#include <windows.h>

#include <string>
#include <vector>

typedef std::vector<BYTE> Bytes;

Bytes make_sid(BYTE authority, std::vector<DWORD> sub_authorities);
Bytes everyone_sid();
Bytes admins_sid(); // S-1-5-32-544
Bytes system_sid(); // S-1-5-18

Bytes make_ace(BYTE type, BYTE flags, DWORD mask, const Bytes &sid);
Bytes make_acl(BYTE revision, const std::vector<Bytes> &aces, WORD free_bytes = 0);

// A whole security.NTACL attribute. Offsets count from the attribute's
// start, as the store keeps them; an empty part is absent.
struct StoredDescriptor {
    WORD control;
    Bytes owner, group, sacl, dacl;
};
Bytes v1_prefix();
Bytes v2_prefix();
Bytes v3_prefix();
Bytes v4_prefix(const std::string &description);
Bytes make_blob(const Bytes &prefix, const StoredDescriptor &descriptor);

// A self-relative descriptor in memory, offsets from its own start.
Bytes make_self_relative(const StoredDescriptor &descriptor);

WORD get_word(const Bytes &b, size_t at);
DWORD get_dword(const Bytes &b, size_t at);
void set_dword(Bytes &b, size_t at, DWORD value);
std::vector<Bytes> acl_entries(const BYTE *acl);

// A fresh scratch directory per test, removed afterwards.
std::string scratch_path(const std::string &name);
std::string make_file(const std::string &name);
std::string make_directory(const std::string &name);
void remove_scratch();

bool write_ntacl(const std::string &path, const Bytes &blob);
Bytes read_ntacl(const std::string &path);
bool has_ntacl(const std::string &path);

// What a system text is for a code, as FormatMessageA gives it, without
// the trailing "\r\n".
std::string system_text(DWORD code);

#endif
