// Prints the version resource of the program named on the command line,
// one field a line, as Windows itself reads it.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

static void print_string(void *info, const char *name)
{
    char path[128];
    char *value = NULL;
    UINT length = 0;

    snprintf(path, sizeof(path), "\\StringFileInfo\\040904B0\\%s", name);
    if (VerQueryValueA(info, path, (void **)&value, &length) && length > 0)
        printf("%s=%s\n", name, value);
    else
        printf("%s absent\n", name);
}

int main(int argc, char *argv[])
{
    static const char *names[] = { "FileDescription", "FileVersion",      "ProductVersion", "ProductName",
                                   "InternalName",    "OriginalFilename", "CompanyName",    "LegalCopyright" };
    VS_FIXEDFILEINFO *fixed = NULL;
    DWORD *translation = NULL;
    DWORD handle, size;
    UINT length;
    void *info;
    size_t i;

    if (argc != 2)
        return 2;
    size = GetFileVersionInfoSizeA(argv[1], &handle);
    if (size == 0)
        return 3;
    info = malloc(size);
    if (info == NULL || !GetFileVersionInfoA(argv[1], 0, size, info))
        return 4;

    if (VerQueryValueA(info, "\\", (void **)&fixed, &length) && length >= sizeof(*fixed))
        printf("FILEVERSION=%lu.%lu.%lu.%lu\nPRODUCTVERSION=%lu.%lu.%lu.%lu\n",
               (unsigned long)HIWORD(fixed->dwFileVersionMS), (unsigned long)LOWORD(fixed->dwFileVersionMS),
               (unsigned long)HIWORD(fixed->dwFileVersionLS), (unsigned long)LOWORD(fixed->dwFileVersionLS),
               (unsigned long)HIWORD(fixed->dwProductVersionMS), (unsigned long)LOWORD(fixed->dwProductVersionMS),
               (unsigned long)HIWORD(fixed->dwProductVersionLS), (unsigned long)LOWORD(fixed->dwProductVersionLS));
    if (VerQueryValueA(info, "\\VarFileInfo\\Translation", (void **)&translation, &length) && length >= 4)
        printf("Translation=%04x,%u\n", LOWORD(*translation), HIWORD(*translation));
    for (i = 0; i < sizeof(names) / sizeof(names[0]); i++)
        print_string(info, names[i]);
    free(info);
    return 0;
}
