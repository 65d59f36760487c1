/*
 * zirm: give the Everyone entries in the DACL of one file or directory a
 * new access mask, keeping every other entry as it is.
 */
#ifndef ZIRM_H
#define ZIRM_H

#include <windows.h>

/* Results of the operation and of the program. */
#define STATUS_OK 0
#define STATUS_FAILED 1

/*
 * Large enough for any DACL-only self-relative descriptor: the 20-byte
 * header and the largest ACL the platform allows.
 */
#define DESCRIPTOR_BUFFER_SIZE 0x10014

int apply_everyone_access(const char *filespec, DWORD generic_rights, DWORD file_rights);
void rewrite_everyone_entry(ACCESS_ALLOWED_ACE *entry, BOOL is_directory, DWORD generic_rights, DWORD file_rights);
void report_failure(const char *message);

#endif
