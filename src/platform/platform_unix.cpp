#include "platform.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileDevice>
#include <QFileInfo>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

extern char **environ;

namespace {

void (*inheritedFileSizeSignal)(int) = SIG_DFL;

void writeToStandardError(QtMsgType, const QMessageLogContext &, const QString &message)
{
    const QByteArray line = message.toLocal8Bit() + '\n';
    fwrite(line.constData(), 1, size_t(line.size()), stderr);
}

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

PathRules pathRules()
{
    return PathRules::Posix;
}

void prepareProcess()
{
    // Writing past the file-size limit then fails like a full disk, and the
    // settings file is left as it was, instead of the signal ending us.
    inheritedFileSizeSignal = std::signal(SIGXFSZ, SIG_IGN);
    // Qt may send debug output to the journal when stderr is no terminal.
    qInstallMessageHandler(writeToStandardError);
}

QString ownPath(int argc, char *argv[])
{
    return QFile::decodeName(argc > 0 ? argv[0] : "");
}

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
    if (inheritedFileSizeSignal == SIG_DFL) {
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

namespace {

FileStamp stampFrom(const struct stat &info)
{
    FileStamp stamp;
    stamp.volume = quint64(info.st_dev);
    stamp.index = quint64(info.st_ino);
    stamp.size = qint64(info.st_size);
    stamp.modified = qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    return stamp;
}

// Qt copies permissions as they apply to the current user, which adds the
// owner's write bit wherever we may write: set the exact bits instead, after
// the owner, since a change of owner clears set-ID bits.
bool keepAccess(const QFileDevice &original, QFileDevice &replacement)
{
    const int fd = replacement.handle();
    struct stat was, now;
    if (fstat(original.handle(), &was) != 0 || fstat(fd, &now) != 0)
        return false;
    const mode_t mode = was.st_mode & 07777;
    if (was.st_uid != now.st_uid && fchown(fd, was.st_uid, gid_t(-1)) != 0)
        return false;
    // A group we can't hand the file to may give way to ours only where
    // nobody's access changes: when the group has just what others have.
    const bool groupLikeOthers = ((mode >> 3) & 07) == (mode & 07) && !(mode & S_ISGID);
    if (was.st_gid != now.st_gid && fchown(fd, uid_t(-1), was.st_gid) != 0 && !groupLikeOthers)
        return false;
    // A file system without permission bits (FAT or exFAT through FUSE) may
    // implement no chmod at all, or refuse to set a mode that is already
    // there. The system may also drop a set-ID bit without failing.
    if (fchmod(fd, mode) != 0) {
        if (errno == ENOSYS || errno == EOPNOTSUPP)
            return true; // no bits to keep
        if (errno != EPERM)
            return false;
    }
    return fstat(fd, &now) == 0 && (now.st_mode & 07777) == mode;
}

} // namespace

FileStamp stampOf(const QFileDevice &openFile)
{
    struct stat info;
    return fstat(openFile.handle(), &info) == 0 ? stampFrom(info) : FileStamp();
}

FileStamp stampOf(const QString &fileName)
{
    struct stat info;
    return stat(QFile::encodeName(fileName).constData(), &info) == 0 ? stampFrom(info) : FileStamp();
}

// The new content goes to an unnamed temporary file in the file's folder
// where the system has them, so that a killed launcher leaves nothing
// behind; once complete it gets its complete name, just before the rename
// that puts it in place. Elsewhere (FAT, some network file systems, a system
// without /proc) it has a temporary name of the launcher's own from the
// start, and is renamed to its complete name once on the disk; a later start
// removes either if it stays.
struct Replacement::Private
{
    QString target; // what a symbolic link points to: that file gets the content
    QByteArray name; // its name while it has one
    QFile file;
    bool committed = false;
};

Replacement::Replacement(const QString &fileName) : d(new Private)
{
    const QString resolved = QFileInfo(fileName).canonicalFilePath();
    d->target = resolved.isEmpty() ? fileName : resolved;
}

Replacement::~Replacement()
{
    d->file.close();
    if (!d->committed && !d->name.isEmpty())
        unlink(d->name.constData());
}

namespace {

enum class NameKind { Temporary, Complete };

// Gives the new file a fresh name of the launcher's own: tries names until
// make() takes one, or fails for another reason than a name taken.
template <typename Make>
bool withFreshName(const QString &target, NameKind kind, QByteArray *name, Make make)
{
    for (int attempt = 0; attempt < 8; ++attempt) {
        const QString temporary = temporaryNameFor(target);
        *name = QFile::encodeName(kind == NameKind::Complete ? completeNameFor(temporary) : temporary);
        if (make(name->constData()))
            return true;
        if (errno != EEXIST)
            break;
    }
    name->clear();
    return false;
}

// The name through which linkat() gives an unnamed file a name.
QByteArray descriptorPath(int fd)
{
    return "/proc/self/fd/" + QByteArray::number(fd);
}

// Without /proc (a chroot, a minimal container) an unnamed file could never
// be given a name, and the settings file would never be replaced.
bool canBeNamed(int fd)
{
    struct stat viaProc, own;
    return stat(descriptorPath(fd).constData(), &viaProc) == 0 && fstat(fd, &own) == 0
            && viaProc.st_dev == own.st_dev && viaProc.st_ino == own.st_ino;
}

} // namespace

std::unique_ptr<QFile> openForReading(const QString &fileName, Waiting)
{
    // A FIFO would block the open, a device would never end.
    if (!QFileInfo(fileName).isFile())
        return nullptr;
    std::unique_ptr<QFile> file(new QFile(fileName));
    return file->open(QIODevice::ReadOnly | QIODevice::Text) ? std::move(file) : nullptr;
}

bool renameWithoutReplacing(const QString &from, const QString &to)
{
    const QByteArray source = QFile::encodeName(from), destination = QFile::encodeName(to);
    if (renameat2(AT_FDCWD, source.constData(), AT_FDCWD, destination.constData(), RENAME_NOREPLACE) == 0)
        return true;
    // A file system that can't be asked (FAT through FUSE, some network
    // ones): only another launcher doing the same could come in between.
    struct stat info;
    return (errno == EINVAL || errno == ENOSYS) && lstat(destination.constData(), &info) != 0 && errno == ENOENT
            && rename(source.constData(), destination.constData()) == 0;
}

bool Replacement::open(const QFileDevice &)
{
    removeStaleTemporaries(d->target);
    // Readable only by us until prepare() gives it the original's bits.
    int fd = ::open(QFile::encodeName(QFileInfo(d->target).absolutePath()).constData(),
                    O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    bool named = fd < 0 && (errno == EISDIR || errno == EOPNOTSUPP || errno == EINVAL);
    if (fd >= 0 && !canBeNamed(fd)) {
        ::close(fd);
        fd = -1;
        named = true;
    }
    if (named) {
        withFreshName(d->target, NameKind::Temporary, &d->name, [&fd](const char *name) {
            fd = ::open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            return fd >= 0;
        });
    }
    return fd >= 0 && d->file.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle);
}

QFileDevice &Replacement::device()
{
    return d->file;
}

// The bytes reach the disk here, so that the rename in commit() follows
// the last look at the original at once.
bool Replacement::prepare(const QFileDevice &original)
{
    return keepAccess(original, d->file) && d->file.flush() && fsync(d->file.handle()) == 0;
}

bool Replacement::commit(const std::function<FileCheck()> &check)
{
    if (!nameAsComplete())
        return false;
    d->file.close();
    if (check() != FileCheck::Unchanged)
        return false;
    d->committed = rename(d->name.constData(), QFile::encodeName(d->target).constData()) == 0;
    return d->committed;
}

// The bytes are on the disk (prepare()): the file takes the name that says
// so. A link can't replace a file, so an unnamed file gets a name of its own
// first, the complete one straight away.
bool Replacement::nameAsComplete()
{
    if (d->name.isEmpty()) {
        const QByteArray descriptor = descriptorPath(d->file.handle());
        return withFreshName(d->target, NameKind::Complete, &d->name, [&descriptor](const char *name) {
            return linkat(AT_FDCWD, descriptor.constData(), AT_FDCWD, name, AT_SYMLINK_FOLLOW) == 0;
        });
    }
    const QString complete = completeNameFor(QFile::decodeName(d->name));
    if (!renameWithoutReplacing(QFile::decodeName(d->name), complete))
        return false;
    d->name = QFile::encodeName(complete);
    return true;
}

} // namespace platform
