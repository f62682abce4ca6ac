// Opening and replacing the settings file on Windows, and telling which
// version of it is there.
#include "platform.h"
#include "platform_win.h"

#include <QFile>
#include <QFileDevice>

#include <aclapi.h>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstring>
#include <vector>

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

// The path of the file an open handle stands for, with \\?\: where a
// symbolic link leads. Empty where the system can't tell.
std::wstring finalPath(HANDLE handle)
{
    std::wstring path(MAX_PATH, L'\0');
    DWORD size = GetFinalPathNameByHandleW(handle, &path[0], DWORD(path.size()), FILE_NAME_NORMALIZED);
    if (size >= path.size()) {
        path.resize(size);
        size = GetFinalPathNameByHandleW(handle, &path[0], DWORD(path.size()), FILE_NAME_NORMALIZED);
    }
    path.resize(size < path.size() ? size : 0);
    return path;
}

// The path as Qt names it: without \\?\, \\?\UNC\ as \\.
QString withoutPrefix(const std::wstring &path)
{
    QString name = QString::fromWCharArray(path.data(), int(path.size()));
    if (name.startsWith(QLatin1String("\\\\?\\UNC\\")))
        return name.mid(6).prepend(u'\\');
    return name.startsWith(QLatin1String("\\\\?\\")) ? name.mid(4) : name;
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

namespace {

// Qt takes a file handed over as a descriptor for a file without a name;
// the rewrite needs the name.
class NamedFile : public QFile
{
public:
    explicit NamedFile(const QString &name) : QFile(name), m_name(name) { }
    QString fileName() const override { return m_name; }

private:
    QString m_name;
};

} // namespace

std::unique_ptr<QFile> openForReading(const QString &fileName)
{
    // Qt's own open shares no deletion, so it fails for the moment a second
    // launcher's rename holds the file, and while it reads no rename could
    // take the file away. A rename that replaces the file while it is read
    // changes its stamp, which the rewrite looks at before it replaces.
    const std::wstring name = longPath(fileName);
    HANDLE handle = INVALID_HANDLE_VALUE;
    retried([&] {
        handle = CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        return handle != INVALID_HANDLE_VALUE;
    });
    if (handle == INVALID_HANDLE_VALUE)
        return nullptr;
    // Binary for the C runtime: the text stream drops the CRs itself.
    const int descriptor = _open_osfhandle(intptr_t(handle), _O_RDONLY | _O_BINARY);
    if (descriptor < 0) {
        CloseHandle(handle);
        return nullptr;
    }
    std::unique_ptr<QFile> file(new NamedFile(fileName));
    if (!file->open(descriptor, QIODevice::ReadOnly | QIODevice::Text, QFileDevice::AutoCloseHandle)) {
        _close(descriptor);
        return nullptr;
    }
    return file;
}

namespace {

// A file's DACL as GetSecurityInfo gives it.
struct Dacl
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PACL list = nullptr; // null: everyone has every right
    SECURITY_DESCRIPTOR_CONTROL control = 0;

    Dacl() = default;
    Dacl(const Dacl &) = delete;
    Dacl &operator=(const Dacl &) = delete;
    ~Dacl() { LocalFree(descriptor); }

    bool read(HANDLE file)
    {
        DWORD revision = 0;
        return GetSecurityInfo(file, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &list, nullptr,
                               &descriptor) == ERROR_SUCCESS
                && GetSecurityDescriptorControl(descriptor, &control, &revision);
    }
    bool isProtected() const { return control & SE_DACL_PROTECTED; }
    // Made only of what the folder passes on: a new file in the folder gets
    // the same without being told.
    bool isInheritedOnly() const
    {
        if (isProtected() || !list)
            return false;
        for (DWORD i = 0; i < list->AceCount; ++i) {
            void *entry = nullptr;
            if (!GetAce(list, i, &entry) || !(static_cast<ACE_HEADER *>(entry)->AceFlags & INHERITED_ACE))
                return false;
        }
        return list->AceCount > 0;
    }
};

} // namespace

// ReplaceFileW would carry the old file's rights and attributes over, but it
// is two renames (the old file away, the new one in): a kill, a crash or a
// pulled USB stick between them leaves no VELNOR.INI at all. So the new file
// is made with what the old one had, and one rename with replacement puts it
// in place: the name always stands for the old file or the new one.
// Alternate data streams (such as a download's zone mark) are not carried
// over.
//
// The new file is renamed, or removed when it isn't needed, through the
// handle it was made with, which holds DELETE from its creation: a folder
// that lets users make files but not delete them can't keep it. Each step
// asks only for the rights it needs, so that a share granting "Change" (no
// WRITE_DAC) takes a file whose rights come from its folder.
struct Replacement::Private
{
    QString fileName;
    std::wstring target; // the file that gets the content: where a link leads
    QString targetName; // the same, as Qt names it
    QFile file;
    HANDLE handle = INVALID_HANDLE_VALUE; // the new file's, which the QFile writes through
    Dacl original; // set again, unprotected, once the content is written
    bool mergeInheritance = false;
    FILE_BASIC_INFO basic = {};
    bool committed = false;
};

Replacement::Replacement(const QString &fileName) : d(new Private)
{
    d->fileName = fileName;
}

Replacement::~Replacement()
{
    if (!d->committed && d->handle != INVALID_HANDLE_VALUE) {
        FILE_DISPOSITION_INFO remove = { TRUE };
        if (!SetFileInformationByHandle(d->handle, FileDispositionInfo, &remove, sizeof remove))
            DeleteFileW(longPath(d->file.fileName()).c_str());
    }
    d->file.close(); // closes the handle, and so removes a file marked for it
}

bool Replacement::open(const QFileDevice &original)
{
    const HANDLE originalHandle = nativeHandle(original);
    d->target = finalPath(originalHandle);
    if (d->target.empty())
        d->target = longPath(d->fileName);
    d->targetName = withoutPrefix(d->target);

    // Whether this user may replace the file at all, before anything is
    // written: the rename needs DELETE on it (or delete-child on the folder).
    // Another program holding the file is no denial; the rename waits for it.
    const HANDLE deletable = CreateFileW(d->target.c_str(), DELETE,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                         OPEN_EXISTING, 0, nullptr);
    if (deletable != INVALID_HANDLE_VALUE)
        CloseHandle(deletable);
    else if (!mayPass(GetLastError()))
        return false;

    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(originalHandle, &info) || !d->original.read(originalHandle))
        return false;
    // Hidden and system from the start, so that the file never shows. The
    // creation time and the not-indexed mark follow once it is written.
    const DWORD attributes = info.dwFileAttributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    d->basic.CreationTime.LowPart = info.ftCreationTime.dwLowDateTime;
    d->basic.CreationTime.HighPart = LONG(info.ftCreationTime.dwHighDateTime);
    d->basic.FileAttributes = info.dwFileAttributes
            & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
    if (!d->basic.FileAttributes)
        d->basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;

    // A DACL of the folder's alone comes to the new file by itself. Any
    // other is the new file's from its creation, protected, so that nobody
    // the old file shut out reads the new one; an unprotected one is set
    // again once written, which merges in what the folder passes on now.
    DWORD access = GENERIC_WRITE | DELETE;
    SECURITY_DESCRIPTOR descriptor;
    SECURITY_ATTRIBUTES security = { sizeof security, &descriptor, FALSE };
    const bool inherited = d->original.isInheritedOnly();
    if (!inherited) {
        if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION)
            || !SetSecurityDescriptorDacl(&descriptor, TRUE, d->original.list, FALSE)
            || !SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED))
            return false;
        d->mergeInheritance = !d->original.isProtected() && d->original.list;
        if (d->mergeInheritance)
            access |= WRITE_DAC;
    }

    removeStaleTemporaries(d->targetName);
    // A name no other file has, made only if it doesn't exist yet.
    for (int attempt = 0; attempt < 8; ++attempt) {
        d->file.setFileName(temporaryNameFor(d->targetName));
        d->handle = CreateFileW(longPath(d->file.fileName()).c_str(), access, FILE_SHARE_READ,
                                inherited ? nullptr : &security, CREATE_NEW,
                                attributes ? attributes : FILE_ATTRIBUTE_NORMAL, nullptr);
        if (d->handle != INVALID_HANDLE_VALUE)
            break;
        if (GetLastError() != ERROR_FILE_EXISTS)
            return false; // the folder takes no new file, or not with these rights
    }
    if (d->handle == INVALID_HANDLE_VALUE)
        return false;
    const int descriptorNumber = _open_osfhandle(intptr_t(d->handle), _O_WRONLY | _O_BINARY);
    if (descriptorNumber < 0) {
        FILE_DISPOSITION_INFO remove = { TRUE };
        SetFileInformationByHandle(d->handle, FileDispositionInfo, &remove, sizeof remove);
        CloseHandle(d->handle);
        d->handle = INVALID_HANDLE_VALUE;
        return false;
    }
    return d->file.open(descriptorNumber, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle);
}

QFileDevice &Replacement::device()
{
    return d->file;
}

bool Replacement::prepare(const QFileDevice &)
{
    if (!d->file.flush() || !FlushFileBuffers(d->handle))
        return false;
    if (d->mergeInheritance
        && SetSecurityInfo(d->handle, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION,
                           nullptr, nullptr, d->original.list, nullptr)
                != ERROR_SUCCESS) {
        return false;
    }
    // A file system that keeps no creation time, or refuses to set it, costs
    // the file its creation time, not its update.
    SetFileInformationByHandle(d->handle, FileBasicInfo, &d->basic, sizeof d->basic);
    return true;
}

bool Replacement::commit(const std::function<bool()> &unchanged)
{
    std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + d->target.size() * sizeof(wchar_t));
    auto *rename = reinterpret_cast<FILE_RENAME_INFO *>(buffer.data());
    rename->ReplaceIfExists = TRUE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = DWORD(d->target.size() * sizeof(wchar_t));
    std::memcpy(rename->FileName, d->target.c_str(), (d->target.size() + 1) * sizeof(wchar_t));
    // A program that held the file may have saved it while we waited: each
    // attempt looks first, and its save wins. The right to replace the file
    // was settled in open(), so a denial now is a file still open elsewhere,
    // which Windows won't replace even where it shares deletion.
    d->committed = retried(
            [&] {
                if (!unchanged()) {
                    SetLastError(ERROR_SUCCESS); // not worth another attempt
                    return false;
                }
                return bool(SetFileInformationByHandle(d->handle, FileRenameInfo, buffer.data(), DWORD(buffer.size())));
            },
            [](DWORD error) { return mayPass(error) || error == ERROR_ACCESS_DENIED; });
    // As MOVEFILE_WRITE_THROUGH would: back once the rename is on the disk.
    if (d->committed)
        FlushFileBuffers(d->handle);
    return d->committed;
}

} // namespace platform
