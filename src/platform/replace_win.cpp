// Replacing the settings file on Windows: the new file made beside it, named
// complete once on the disk, and renamed over it, waiting for other
// programs; and a rename that replaces nothing.
#include "path_forms.h"
#include "platform.h"
#include "platform_win.h"
#include "security_win.h"
#include "temporary_files.h"

#include <QFile>
#include <QFileDevice>

#include <fcntl.h>
#include <io.h>

#include <cstring>
#include <vector>

namespace {

// Renames an open file through its handle; it must be open with DELETE.
bool renameTo(HANDLE file, const std::wstring &path, bool replace)
{
    std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + path.size() * sizeof(wchar_t));
    auto *rename = reinterpret_cast<FILE_RENAME_INFO *>(buffer.data());
    rename->ReplaceIfExists = replace;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = DWORD(path.size() * sizeof(wchar_t));
    std::memcpy(rename->FileName, path.c_str(), (path.size() + 1) * sizeof(wchar_t));
    return SetFileInformationByHandle(file, FileRenameInfo, buffer.data(), DWORD(buffer.size()));
}

// Whether this user may replace the file at all, before anything is
// written: the rename needs DELETE on it (or delete-child on the folder).
// Another program holding the file is no denial; the rename waits for it.
bool mayReplace(const std::wstring &target)
{
    const platform::Handle deletable(CreateFileW(target.c_str(), DELETE,
                                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                 OPEN_EXISTING, 0, nullptr));
    return deletable.isValid() || platform::isInUseError(GetLastError());
}

enum class Identity { Same, Other, Unknown };

// Whether a stamp tells its file apart from every other one on the volume:
// 0 is the index of a file system without file IDs, all ones that of a file
// whose ID can't be established.
bool hasFileId(const platform::FileStamp &stamp)
{
    return stamp != platform::FileStamp() && stamp.index != 0 && stamp.index != ~quint64(0);
}

// Whether two stamps stand for one file, however its names are spelled
// (\\?\M:\ or \\?\UNC\, short components): the same volume and file index.
// Unknown where either couldn't be looked at or has no file ID.
Identity identityOf(const platform::FileStamp &one, const platform::FileStamp &other)
{
    if (!hasFileId(one) || !hasFileId(other))
        return Identity::Unknown;
    return one.volume == other.volume && one.index == other.index ? Identity::Same : Identity::Other;
}

// The long path of the file that gets the content: where a link leads, as
// the open handle tells it, else the name as given.
std::wstring targetOf(HANDLE original, const QString &fileName)
{
    const std::wstring target = platform::finalPath(original);
    return target.empty() ? platform::longPath(fileName) : target;
}

} // namespace

namespace platform {

bool renameWithoutReplacing(const QString &from, const QString &to)
{
    return MoveFileExW(longPath(from).c_str(), longPath(to).c_str(), 0);
}

// ReplaceFileW would carry the old file's rights and attributes over, but it
// is two renames (the old file away, the new one in): a kill, a crash or a
// pulled USB stick between them leaves no VELNOR.INI at all. So the new file
// is made with what the old one had, and one rename with replacement puts it
// in place: on NTFS the name always stands for the old file or the new one.
// FAT replaces in several directory writes; the new file's complete name
// lets a later start take it up where a pulled stick left none. Alternate
// data streams (such as a download's zone mark), the short name and the
// object identifier are not carried over.
//
// The new file is renamed, or removed when it isn't needed, through the
// handle it was made with, which holds DELETE from its creation: a folder
// that lets users make files but not delete them can't keep it. Each step
// asks only for the rights it needs, so that a share granting "Change" (no
// WRITE_DAC) takes it.
struct Replacement::Private
{
    explicit Private(const QFileDevice &original) : original(original) { }

    // Qt writes the new file through its handle from here on.
    bool handToQt(Handle made);
    // Whether the new file now stands under the target's name.
    Identity newFileIsTarget() { return identityOf(stampOf(file), stampOf(fromWide(target))); }

    const QFileDevice &original;
    std::wstring target; // the long path of the file that gets the content
    std::wstring newName; // the new file's long path, temporary and then complete
    Original metadata;
    QFile file;
    HANDLE handle = INVALID_HANDLE_VALUE; // the new file's, owned by the QFile, which writes through it
    bool renameTried = false; // over the target: from then on the handle may stand for it
    bool committed = false;
};

Replacement::Replacement(const QFileDevice &original) : d(new Private(original)) { }

Replacement::~Replacement()
{
    // Once a rename over VELNOR.INI was tried, where it can't be told that
    // the new file is another file (a rename reported failed, then a share
    // that doesn't answer), it is removed by its own name only, which
    // VELNOR.INI never has.
    if (!d->committed && d->handle != INVALID_HANDLE_VALUE) {
        if (!d->renameTried || d->newFileIsTarget() == Identity::Other) {
            discard(d->handle, d->newName, [this] { d->file.close(); });
        } else {
            d->file.close();
            DeleteFileW(d->newName.c_str());
        }
    }
    d->file.close();
}

bool Replacement::open()
{
    const HANDLE original = nativeHandle(d->original);
    d->target = targetOf(original, d->original.fileName());
    if (!mayReplace(d->target) || !d->metadata.read(original))
        return false;
    const QString plainTarget = pathforms::withoutPrefix(fromWide(d->target));
    removeStaleTemporaries(plainTarget);
    return d->handToQt(makeLike(d->metadata, plainTarget, &d->newName));
}

bool Replacement::Private::handToQt(Handle made)
{
    if (!made.isValid())
        return false;
    const int descriptor = _open_osfhandle(intptr_t(made.get()), _O_WRONLY | _O_BINARY);
    if (descriptor < 0) {
        discard(made.get(), newName, [&made] { made.reset(); });
        return false;
    }
    handle = made.release(); // the descriptor has it now
    if (file.open(descriptor, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle))
        return true;
    discard(handle, newName, [descriptor] { _close(descriptor); });
    handle = INVALID_HANDLE_VALUE;
    return false;
}

QFileDevice &Replacement::device()
{
    return d->file;
}

// The new file has had the original's metadata since open().
bool Replacement::flushWithMetadata()
{
    return d->file.flush() && FlushFileBuffers(d->handle);
}

bool Replacement::nameAsComplete()
{
    const std::wstring complete = wide(completeNameFor(fromWide(d->newName)));
    if (!renameTo(d->handle, complete, false))
        return false;
    d->newName = complete;
    return true;
}

bool Replacement::commit(const std::function<FileCheck()> &check)
{
    if (!nameAsComplete())
        return false;
    // A program that held the file may have saved it while we waited: each
    // attempt looks first, and its save wins. The right to replace the file
    // was settled in open(), so a denial now is a file still open elsewhere,
    // which Windows won't replace even where it shares deletion.
    FileCheck found = FileCheck::Unchanged;
    const auto attempt = [&] {
        found = check();
        d->renameTried = d->renameTried || found == FileCheck::Unchanged;
        return found == FileCheck::Unchanged && renameTo(d->handle, d->target, true);
    };
    const auto passes = [&found](DWORD error) {
        return found == FileCheck::Unreadable
                || (found == FileCheck::Unchanged && (isInUseError(error) || error == ERROR_ACCESS_DENIED));
    };
    d->committed = retryWhileInUse(attempt, passes);
    // A rename can be made and still reported failed (a reply lost on a
    // share that reconnects, a filter driver failing it afterwards): then the
    // new file already has the file's name. Told by identity, not by how
    // the system spells either name, which it may not tell at all.
    if (!d->committed && d->renameTried)
        d->committed = d->newFileIsTarget() == Identity::Same;
    // As MOVEFILE_WRITE_THROUGH would: back once the rename is on the disk.
    if (d->committed)
        FlushFileBuffers(d->handle);
    return d->committed;
}

} // namespace platform
