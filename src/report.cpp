/*
 * The failure report: the failed step's message, then the system's text
 * for the last-error code that step left.
 */
#include <stdio.h>

#include "zirm.h"

void report_failure(const char *message)
{
    /* Read the code before anything else can change it. */
    DWORD error = GetLastError();
    char *text = NULL;
    DWORD length;

    if (message != NULL)
        printf("%s", message);

    length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER, NULL, error,
                            MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), (LPSTR)&text, 0, NULL);
    if (length == 0)
        return;

    /* System texts end in "\r\n"; the format below brings its own newline. */
    if (length > 2 && text[length - 2] == '\r')
        text[length - 2] = '\0';

    printf("\t%s\n", text);
    LocalFree(text);
}
