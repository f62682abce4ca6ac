// Replacing the settings file on Windows, and telling which version of it
// is there.
#include "platform.h"
#include "platform_win.h"

#include <QFile>
#include <QFileDevice>
#include <QRandomGenerator>

#include <windows.h>

namespace {

qint64 combined(DWORD high, DWORD low)
{
    return qint64((quint64(high) << 32) | low);
}

platform::FileStamp stampOfHandle(HANDLE handle)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &info))
        return platform::FileStamp();
    platform::FileStamp stamp;
    stamp.volume = info.dwVolumeSerialNumber;
    stamp.index = quint64(combined(info.nFileIndexHigh, info.nFileIndexLow));
    stamp.size = combined(info.nFileSizeHigh, info.nFileSizeLow);
    stamp.modified = combined(info.ftLastWriteTime.dwHighDateTime, info.ftLastWriteTime.dwLowDateTime);
    return stamp;
}

} // namespace

namespace platform {

FileStamp stampOf(const QFileDevice &openFile)
{
    return stampOfHandle(nativeHandle(openFile));
}

FileStamp stampOf(const QString &fileName)
{
    // Attributes only: no other program's sharing mode stands in the way.
    const HANDLE handle = CreateFileW(longPath(fileName).c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    const FileStamp stamp = stampOfHandle(handle);
    if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
    return stamp;
}

// The new content goes to a temporary file beside the settings file, and
// ReplaceFileW puts it in place: unlike a rename, it gives the new file the
// old one's access rights, attributes, creation time and streams. The old
// file moves to a backup name first, so that whatever step fails, the file
// can be put back whole.
struct Replacement::Private
{
    QString fileName;
    QFile file;
    std::wstring temporary;
    bool committed = false;
};

Replacement::Replacement(const QString &fileName) : d(new Private)
{
    d->fileName = fileName;
}

Replacement::~Replacement()
{
    d->file.close();
    if (!d->committed && !d->temporary.empty())
        retried([this] { return DeleteFileW(d->temporary.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND; });
}

bool Replacement::open()
{
    // A name no other file has, created only if it doesn't exist yet. Qt's
    // QTemporaryFile won't do: it keeps its handle open until destroyed, and
    // ReplaceFileW needs the file closed.
    for (int attempt = 0; attempt < 8; ++attempt) {
        const quint32 random = QRandomGenerator::system()->generate();
        d->file.setFileName(d->fileName + QLatin1Char('.') + QString::number(random, 36));
        if (d->file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
            d->temporary = longPath(d->file.fileName());
            return true;
        }
        if (!d->file.exists())
            return false; // not a name taken: the folder takes no new file
    }
    return false;
}

QFileDevice &Replacement::device()
{
    return d->file;
}

bool Replacement::prepare(const QFileDevice &original)
{
    // ReplaceFileW opens the new file without sharing: close it first.
    const bool written = d->file.flush() && FlushFileBuffers(nativeHandle(d->file));
    d->file.close();
    if (!written || d->file.error() != QFileDevice::NoError)
        return false;
    // ReplaceFileW carries the attributes over too, but not every
    // implementation of it does (Wine's doesn't): a hidden file stays hidden.
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(nativeHandle(original), &info))
        return false;
    const DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE
            | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    const DWORD wanted = info.dwFileAttributes & kept;
    return wanted == FILE_ATTRIBUTE_ARCHIVE // what a new file has anyway
            || SetFileAttributesW(d->temporary.c_str(), wanted ? wanted : FILE_ATTRIBUTE_NORMAL);
}

bool Replacement::commit()
{
    const std::wstring replaced = longPath(d->fileName);
    const std::wstring backup = d->temporary + L"~";
    if (retried([&] { return ReplaceFileW(replaced.c_str(), d->temporary.c_str(), backup.c_str(), 0, nullptr, nullptr); })) {
        d->committed = true;
        retried([&] { return DeleteFileW(backup.c_str()); });
        return true;
    }
    if (GetLastError() != ERROR_UNABLE_TO_MOVE_REPLACEMENT_2)
        return false; // both files kept their names
    // The old file went to the backup name, the new one couldn't follow:
    // put the old one back, or failing that the new one in its place.
    if (retried([&] { return MoveFileExW(backup.c_str(), replaced.c_str(), 0); }))
        return false;
    if (retried([&] { return MoveFileExW(d->temporary.c_str(), replaced.c_str(), 0); })) {
        d->committed = true;
        retried([&] { return DeleteFileW(backup.c_str()); });
        return true;
    }
    // Neither moved: the old content stays under the backup name, never removed.
    return false;
}

} // namespace platform
