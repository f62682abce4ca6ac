// Loaded into the launcher by the tests: open() refuses unnamed temporary
// files as FAT and some network file systems do, so that the launcher's
// named temporary file is used.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>

static int refused(const char *name, const char *path, int flags, va_list arguments)
{
    if ((flags & O_TMPFILE) == O_TMPFILE) {
        errno = EOPNOTSUPP;
        return -1;
    }
    int (*real)(const char *, int, ...) = (int (*)(const char *, int, ...))dlsym(RTLD_NEXT, name);
    const mode_t mode = (flags & O_CREAT) ? va_arg(arguments, mode_t) : 0;
    return real(path, flags, mode);
}

int open(const char *path, int flags, ...)
{
    va_list arguments;
    va_start(arguments, flags);
    const int result = refused("open", path, flags, arguments);
    va_end(arguments);
    return result;
}

int open64(const char *path, int flags, ...)
{
    va_list arguments;
    va_start(arguments, flags);
    const int result = refused("open64", path, flags, arguments);
    va_end(arguments);
    return result;
}
