// Replacing the settings file on Windows, and telling which version of it
// is there.
#include "platform.h"
#include "platform_win.h"

#include <QFile>
#include <QFileDevice>

#include <aclapi.h>
#include <windows.h>

#include <cstring>

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

// ReplaceFileW would carry the old file's rights and attributes over, but it
// is two renames (the old file away, the new one in): a kill, a crash or a
// pulled USB stick between them leaves no VELNOR.INI at all. So the
// temporary file gets what the old one had first, and one rename with
// replacement puts it in place: the name always stands for the old file or
// the new one. Alternate data streams (such as a download's zone mark) are
// not carried over.
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
    removeStaleTemporaries(d->fileName);
    // A name no other file has, created only if it doesn't exist yet. Qt's
    // QTemporaryFile won't do: it keeps its handle open until destroyed, and
    // the rename needs the file closed.
    for (int attempt = 0; attempt < 8; ++attempt) {
        d->file.setFileName(temporaryNameFor(d->fileName));
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

namespace {

struct Dacl
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PACL list = nullptr; // null: everyone has every right
    SECURITY_DESCRIPTOR_CONTROL control = 0;

    ~Dacl() { LocalFree(descriptor); }
    // The same list with the same protection; a difference in the slack
    // after the entries only costs a needless setting.
    bool sameAs(const Dacl &other) const
    {
        if ((control & SE_DACL_PROTECTED) != (other.control & SE_DACL_PROTECTED) || !list != !other.list)
            return false;
        return !list || (list->AclSize == other.list->AclSize && memcmp(list, other.list, list->AclSize) == 0);
    }
    bool read(HANDLE file)
    {
        DWORD revision = 0;
        return GetSecurityInfo(file, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &list, nullptr,
                               &descriptor) == ERROR_SUCCESS
                && GetSecurityDescriptorControl(descriptor, &control, &revision);
    }
};

// The original's DACL, protected from the folder's inheritance or not.
// Where the new file already has the same one (a DACL only inherited from
// the folder comes to every new file in it) nothing is set. Otherwise an
// unprotected list is set as such, so that Windows merges in what the folder
// passes on now, as it did for the original.
bool keepDacl(HANDLE original, HANDLE replacement)
{
    Dacl was, now;
    if (!was.read(original) || !now.read(replacement))
        return false;
    if (was.sameAs(now))
        return true;
    const SECURITY_INFORMATION inheritance = was.control & SE_DACL_PROTECTED ? PROTECTED_DACL_SECURITY_INFORMATION
                                                                           : UNPROTECTED_DACL_SECURITY_INFORMATION;
    return SetSecurityInfo(replacement, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | inheritance, nullptr, nullptr,
                           was.list, nullptr)
            == ERROR_SUCCESS;
}

// The attributes that describe the file rather than its state, and its
// creation time; the new content keeps its own modification time.
bool keepBasicInfo(HANDLE original, HANDLE replacement)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(original, &info))
        return false;
    const DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE
            | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    FILE_BASIC_INFO basic = {}; // zero times stay as they are
    basic.CreationTime.LowPart = info.ftCreationTime.dwLowDateTime;
    basic.CreationTime.HighPart = LONG(info.ftCreationTime.dwHighDateTime);
    basic.FileAttributes = info.dwFileAttributes & kept ? info.dwFileAttributes & kept : FILE_ATTRIBUTE_NORMAL;
    return SetFileInformationByHandle(replacement, FileBasicInfo, &basic, sizeof basic);
}

} // namespace

bool Replacement::prepare(const QFileDevice &original)
{
    // The rename needs the file closed: Qt's handle shares no deletion.
    const bool written = d->file.flush() && FlushFileBuffers(nativeHandle(d->file));
    d->file.close();
    if (!written || d->file.error() != QFileDevice::NoError)
        return false;
    // A virus scanner may be looking at the new file already.
    HANDLE replacement = INVALID_HANDLE_VALUE;
    retried([&] {
        replacement = CreateFileW(d->temporary.c_str(), READ_CONTROL | WRITE_DAC | FILE_WRITE_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  0, nullptr);
        return replacement != INVALID_HANDLE_VALUE;
    });
    if (replacement == INVALID_HANDLE_VALUE)
        return false;
    const HANDLE originalHandle = nativeHandle(original);
    const bool kept = keepDacl(originalHandle, replacement) && keepBasicInfo(originalHandle, replacement);
    CloseHandle(replacement);
    return kept;
}

bool Replacement::commit(const std::function<bool()> &unchanged)
{
    // Write-through: the call returns once the rename is on the disk. A
    // program that held the file may have saved it while we waited: each
    // attempt looks first, and its save wins.
    const std::wstring replaced = longPath(d->fileName);
    d->committed = retried([&] {
        if (!unchanged()) {
            SetLastError(ERROR_SUCCESS); // not worth another attempt
            return false;
        }
        return MoveFileExW(d->temporary.c_str(), replaced.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    });
    return d->committed;
}

} // namespace platform
