// Opening the settings file on Linux, and telling which version of it a
// name stands for.
#include "platform.h"

#include <QFile>
#include <QFileDevice>
#include <QFileInfo>

#include <sys/stat.h>

namespace {

platform::FileStamp stampFrom(const struct stat &info)
{
    platform::FileStamp stamp;
    stamp.volume = quint64(info.st_dev);
    stamp.index = quint64(info.st_ino);
    stamp.size = qint64(info.st_size);
    stamp.modified = qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    return stamp;
}

} // namespace

namespace platform {

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

std::unique_ptr<QFile> openForReading(const QString &fileName, Waiting)
{
    // A FIFO would block the open, a device would never end.
    if (!QFileInfo(fileName).isFile())
        return nullptr;
    std::unique_ptr<QFile> file(new QFile(fileName));
    return file->open(QIODevice::ReadOnly | QIODevice::Text) ? std::move(file) : nullptr;
}

} // namespace platform
