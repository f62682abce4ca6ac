// Loaded into the launcher by the tests: open() refuses unnamed temporary
// files as FAT and some network file systems do, so that the launcher's
// named temporary file is used.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>

int open(const char *path, int flags, ...)
{
    if ((flags & O_TMPFILE) == O_TMPFILE) {
        errno = EOPNOTSUPP;
        return -1;
    }
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = (flags & O_CREAT) ? va_arg(arguments, mode_t) : 0;
    va_end(arguments);
    int (*real)(const char *, int, ...) = (int (*)(const char *, int, ...))dlsym(RTLD_NEXT, "open");
    return real(path, flags, mode);
}

// The same function under its large-file name, as glibc has it on 64-bit systems.
int open64(const char *path, int flags, ...) __attribute__((alias("open")));
