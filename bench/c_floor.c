/* The least any launcher does: read the settings file beside it, then start
   the main program beside it without waiting. */
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

extern char **environ;

int main(int argc, char **argv)
{
    (void)argc;
    char path[4096];
    const char *slash = strrchr(argv[0], '/');
    const int folder = slash ? (int)(slash - argv[0] + 1) : 0;
    if (folder + 16 > (int)sizeof path)
        return 1;

    snprintf(path, sizeof path, "%.*sVELNOR.INI", folder, argv[0]);
    const int fd = open(path, O_RDONLY);
    if (fd < 0)
        return 1;
    char chunk[65536];
    ssize_t size;
    while ((size = read(fd, chunk, sizeof chunk)) > 0) {
    }
    close(fd);
    if (size < 0)
        return 1;

    snprintf(path, sizeof path, "%.*svelnor.exe", folder, argv[0]);
    char *arguments[] = { path, NULL };
    pid_t pid;
    return posix_spawn(&pid, path, NULL, NULL, arguments, environ) == 0 ? 0 : 1;
}
