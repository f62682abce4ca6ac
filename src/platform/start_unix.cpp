// Starting the main program on Linux: beside the launcher or in an absolute
// folder of PATH, in a session of its own.
#include "platform.h"
#include "platform_unix.h"

#include <QCoreApplication>
#include <QFile>

#include <csignal>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

extern char **environ;

namespace {

bool isExecutableFile(const QByteArray &path)
{
    struct stat info;
    return stat(path.constData(), &info) == 0 && S_ISREG(info.st_mode) && access(path.constData(), X_OK) == 0;
}

// The folder of the running executable as the system reports it, in bytes:
// a folder name that isn't valid in the file-name encoding still works.
QByteArray executableFolder()
{
    QByteArray path(4096, '\0');
    for (;;) {
        const ssize_t size = readlink("/proc/self/exe", path.data(), size_t(path.size()));
        if (size < 0)
            return QFile::encodeName(QCoreApplication::applicationDirPath()) + '/';
        if (size < path.size()) {
            path.truncate(int(size));
            return path.left(path.lastIndexOf('/') + 1);
        }
        path.resize(path.size() * 2);
    }
}

// The program beside the executable comes first, then the absolute folders of
// PATH; an empty or relative entry would search the working directory.
QByteArray findProgram(const QByteArray &name)
{
    const QByteArray beside = executableFolder() + name;
    if (isExecutableFile(beside))
        return beside;
    for (const QByteArray &folder : qgetenv("PATH").split(':')) {
        if (folder.startsWith('/') && isExecutableFile(folder + '/' + name))
            return folder + '/' + name;
    }
    return QByteArray();
}

} // namespace

namespace platform {

bool startDetached(const QString &programName)
{
    QByteArray program = findProgram(QFile::encodeName(programName));
    if (program.isEmpty())
        return false;

    // Its own session, so that it outlives the launcher's terminal; the
    // file-size signal as the launcher found it. The C library reports a
    // failed exec as the result of posix_spawn.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    short flags = POSIX_SPAWN_SETSID;
    sigset_t defaults;
    sigemptyset(&defaults);
    if (fileSizeSignalWasDefault()) {
        sigaddset(&defaults, SIGXFSZ);
        posix_spawnattr_setsigdefault(&attributes, &defaults);
        flags |= POSIX_SPAWN_SETSIGDEF;
    }
    posix_spawnattr_setflags(&attributes, flags);
    char *arguments[] = { program.data(), nullptr };
    pid_t pid;
    const int result = posix_spawn(&pid, program.constData(), nullptr, &attributes, arguments, environ);
    posix_spawnattr_destroy(&attributes);
    return result == 0;
}

} // namespace platform
