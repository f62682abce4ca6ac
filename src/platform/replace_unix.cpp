// Replacing the settings file on Linux: the new file made beside it (beside
// its target, for a symbolic link), named complete once on the disk, and
// renamed over it; and a rename that replaces nothing.
#include "platform.h"
#include "security_unix.h"
#include "temporary_files.h"

#include <QFile>
#include <QFileDevice>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

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

// An unnamed file in the folder that can be given a name later, or -1 with
// EOPNOTSUPP (or the system's own error) where there is none.
int unnamedFileIn(const QString &folder)
{
    // Readable only by us until it has the original's bits.
    const int fd = ::open(QFile::encodeName(folder).constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd >= 0 && !canBeNamed(fd)) {
        ::close(fd);
        errno = EOPNOTSUPP;
        return -1;
    }
    return fd;
}

platform::FreshName freshNameResult(bool made)
{
    return made ? platform::FreshName::Made : errno == EEXIST ? platform::FreshName::Taken : platform::FreshName::Failed;
}

} // namespace

namespace platform {

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

// The new content goes to an unnamed temporary file in the file's folder
// where the system has them, so that a killed launcher leaves nothing
// behind; once complete it gets its complete name, just before the rename
// that puts it in place. Elsewhere (FAT, some network file systems, a system
// without /proc) it has a temporary name of the launcher's own from the
// start, and is renamed to its complete name once on the disk; a later start
// removes either if it stays.
struct Replacement::Private
{
    explicit Private(const QFileDevice &original) : original(original) { }

    // A file of the launcher's own under a fresh temporary name, or -1.
    int namedFile();

    const QFileDevice &original;
    QString target; // what a symbolic link points to: that file gets the content
    QByteArray newName; // the new file's, while it has one
    QFile file;
    bool committed = false;
};

Replacement::Replacement(const QFileDevice &original) : d(new Private(original))
{
    const QString resolved = QFileInfo(original.fileName()).canonicalFilePath();
    d->target = resolved.isEmpty() ? original.fileName() : resolved;
}

Replacement::~Replacement()
{
    d->file.close();
    if (!d->committed && !d->newName.isEmpty())
        unlink(d->newName.constData());
}

int Replacement::Private::namedFile()
{
    int fd = -1;
    makeUnderFreshName(target, [this, &fd](const QString &temporaryName) {
        newName = QFile::encodeName(temporaryName);
        fd = ::open(newName.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        return freshNameResult(fd >= 0);
    });
    if (fd < 0)
        newName.clear();
    return fd;
}

bool Replacement::open()
{
    removeStaleTemporaries(d->target);
    int fd = unnamedFileIn(QFileInfo(d->target).absolutePath());
    if (fd < 0 && (errno == EISDIR || errno == EOPNOTSUPP || errno == EINVAL))
        fd = d->namedFile();
    return fd >= 0 && d->file.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle);
}

QFileDevice &Replacement::device()
{
    return d->file;
}

// The owner and mode come over, and the bytes reach the disk, here, so that
// the rename in commit() follows the last look at the original at once.
bool Replacement::flushWithMetadata()
{
    return copyOwnerAndMode(d->original.handle(), d->file.handle()) && d->file.flush()
            && fsync(d->file.handle()) == 0;
}

bool Replacement::commit(const std::function<FileCheck()> &check)
{
    if (!nameAsComplete())
        return false;
    d->file.close();
    if (check() != FileCheck::Unchanged)
        return false;
    d->committed = rename(d->newName.constData(), QFile::encodeName(d->target).constData()) == 0;
    return d->committed;
}

// The bytes are on the disk (flushWithMetadata()): the file takes the name
// that says so. A link can't replace a file, so an unnamed file gets a name
// of its own first, the complete one straight away.
bool Replacement::nameAsComplete()
{
    if (d->newName.isEmpty()) {
        const QByteArray descriptor = descriptorPath(d->file.handle());
        QByteArray complete;
        const bool named = makeUnderFreshName(d->target, [&descriptor, &complete](const QString &temporaryName) {
            complete = QFile::encodeName(completeNameFor(temporaryName));
            return freshNameResult(
                    linkat(AT_FDCWD, descriptor.constData(), AT_FDCWD, complete.constData(), AT_SYMLINK_FOLLOW) == 0);
        });
        if (named)
            d->newName = complete;
        return named;
    }
    const QString complete = completeNameFor(QFile::decodeName(d->newName));
    if (!renameWithoutReplacing(QFile::decodeName(d->newName), complete))
        return false;
    d->newName = QFile::encodeName(complete);
    return true;
}

} // namespace platform
