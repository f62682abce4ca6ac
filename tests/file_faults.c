// Loaded into the launcher by the tests: calls on files fail as a flaky
// disk, a USB stick, a network share or a file system without Unix
// permissions may make them fail.
// LAUNCHER_READ_FAULT is "<kind>,<offset>,<path>": a read() of that file
// that would cross the offset is cut there, and the read from the offset
// itself
//   eio    fails with EIO, once;  eio-always  every time;
//   zero   returns 0, once;       short       returns one byte, once.
// Each fault injected appends a line to LAUNCHER_READ_FAULT_LOG.
// LAUNCHER_CALL_FAULT is "<call>,<errno>": every fchmod() or fchown() fails
// with ENOSYS (as FUSE answers a call the file system doesn't implement),
// EPERM or EIO; "renameat2,raced" makes the first rename, then fails it
// with ENOENT, as when another start made the same rename a moment before.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static int configured = -1;
static char kind[16];
static long long offset;
static dev_t device;
static ino_t inode;
static int injected;

static void configure(void)
{
    configured = 0;
    const char *rule = getenv("LAUNCHER_READ_FAULT");
    const char *comma = rule ? strchr(rule, ',') : NULL;
    char *end = NULL;
    if (!comma || (size_t)(comma - rule) >= sizeof kind)
        return;
    memcpy(kind, rule, (size_t)(comma - rule));
    offset = strtoll(comma + 1, &end, 10);
    struct stat info;
    if (*end == ',' && stat(end + 1, &info) == 0) {
        device = info.st_dev;
        inode = info.st_ino;
        configured = 1;
    }
}

static void logFault(long long at)
{
    const char *path = getenv("LAUNCHER_READ_FAULT_LOG");
    FILE *log = path ? fopen(path, "a") : NULL;
    if (log) {
        fprintf(log, "%s at %lld\n", kind, at);
        fclose(log);
    }
}

ssize_t read(int fd, void *buffer, size_t count)
{
    ssize_t (*real)(int, void *, size_t) = (ssize_t (*)(int, void *, size_t))dlsym(RTLD_NEXT, "read");
    const int savedErrno = errno;
    if (configured < 0)
        configure();
    struct stat info;
    if (!configured || fstat(fd, &info) != 0 || info.st_dev != device || info.st_ino != inode) {
        errno = savedErrno;
        return real(fd, buffer, count);
    }
    const off_t at = lseek(fd, 0, SEEK_CUR);
    errno = savedErrno;
    if (at < offset && at + (off_t)count > offset)
        return real(fd, buffer, (size_t)(offset - at));
    const int always = strcmp(kind, "eio-always") == 0;
    if (at != offset || (injected && !always) || count == 0)
        return real(fd, buffer, count);
    ++injected;
    logFault(at);
    if (strncmp(kind, "eio", 3) == 0) {
        errno = EIO;
        return -1;
    }
    if (strcmp(kind, "zero") == 0)
        return 0;
    return real(fd, buffer, 1);
}

static int callFault(const char *call)
{
    const char *rule = getenv("LAUNCHER_CALL_FAULT");
    const size_t length = strlen(call);
    if (!rule || strncmp(rule, call, length) != 0 || rule[length] != ',')
        return 0;
    const char *error = rule + length + 1;
    return strcmp(error, "ENOSYS") == 0 ? ENOSYS : strcmp(error, "EPERM") == 0 ? EPERM : EIO;
}

int fchmod(int fd, mode_t mode)
{
    int (*real)(int, mode_t) = (int (*)(int, mode_t))dlsym(RTLD_NEXT, "fchmod");
    const int error = callFault("fchmod");
    if (!error)
        return real(fd, mode);
    errno = error;
    return -1;
}

int fchown(int fd, uid_t owner, gid_t group)
{
    int (*real)(int, uid_t, gid_t) = (int (*)(int, uid_t, gid_t))dlsym(RTLD_NEXT, "fchown");
    const int error = callFault("fchown");
    if (!error)
        return real(fd, owner, group);
    errno = error;
    return -1;
}

int renameat2(int fromFolder, const char *from, int toFolder, const char *to, unsigned int flags)
{
    int (*real)(int, const char *, int, const char *, unsigned int)
            = (int (*)(int, const char *, int, const char *, unsigned int))dlsym(RTLD_NEXT, "renameat2");
    static int calls;
    const char *rule = getenv("LAUNCHER_CALL_FAULT");
    const int result = real(fromFolder, from, toFolder, to, flags);
    if (result != 0 || ++calls > 1 || !rule || strcmp(rule, "renameat2,raced") != 0)
        return result;
    errno = ENOENT;
    return -1;
}
