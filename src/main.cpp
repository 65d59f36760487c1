/*
 * zirm <access> <filespec>
 *
 * Gives every Everyone entry in the DACL of filespec the rights named by
 * the letters r, w and x, and writes the DACL back.
 */
#include <stdio.h>

#include "zirm.h"

static int show_usage(void)
{
    printf("usage: zirm <access> <filespec>\n");
    printf("\t<access>   = any combination of the following r,w,x\n");
    printf("\t<filespec> = name of the file\n");
    return STATUS_FAILED;
}

int main(int argc, char *argv[])
{
    DWORD generic_rights = 0;
    DWORD file_rights = 0;
    const char *access;
    const char *filespec;

    if (argc != 3)
        return show_usage();

    access = argv[1];
    filespec = argv[2];

    /* Read every letter before touching the target: a bad one anywhere
       leaves it as it was. */
    for (; *access != '\0'; access++) {
        switch (*access) {
        case 'r':
            generic_rights |= GENERIC_READ;
            file_rights |= FILE_GENERIC_READ;
            break;
        case 'w':
            generic_rights |= GENERIC_WRITE;
            file_rights |= FILE_GENERIC_WRITE;
            break;
        case 'x':
            generic_rights |= GENERIC_EXECUTE;
            file_rights |= FILE_GENERIC_EXECUTE;
            break;
        default:
            return show_usage();
        }
    }

    return apply_everyone_access(filespec, generic_rights, file_rights);
}
