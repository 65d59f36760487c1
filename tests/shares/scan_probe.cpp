// For each path named, what the cheap reading of smb.conf says about the
// object there: "maybe", "no" or "error N". SMB_CONF_PATH names the
// configuration, as it does for zirm. The object is opened as zirm opens
// it: the last component never followed.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "layer.h"

int main(int argc, char **argv)
{
    static struct lineage lineage; /* far too big for the stack */
    struct stat st;
    BOOL maybe;
    DWORD code;
    int i, fd;

    for (i = 1; i < argc; i++) {
        fd = open(argv[i], O_PATH | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0 || fstat(fd, &st) != 0) {
            printf("unopenable\n");
            if (fd >= 0)
                close(fd);
            continue;
        }
        code = samba_share_may_hold(fd, &st, &lineage, &maybe);
        if (code != ERROR_SUCCESS)
            printf("error %u\n", (unsigned)code);
        else
            printf("%s\n", maybe ? "maybe" : "no");
        close(fd);
    }
    return 0;
}
