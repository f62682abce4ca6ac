#ifndef PLATFORM_H
#define PLATFORM_H

#include "path_forms.h"

#include <QString>

#include <functional>
#include <memory>

class QFile;
class QFileDevice;

// Everything in which the launcher differs between Windows and Linux. Each
// platform implements these in files of the same jobs: platform_* (the
// process), open_* (opening and telling files), replace_*, security_* (what
// the new file keeps) and start_* (the main program), named _win or _unix.
namespace platform {

// The rules of this platform's paths.
PathRules pathRules();
// Whether this platform's file names differ by case: Windows finds
// Velnor.ini as VELNOR.INI.
Qt::CaseSensitivity fileNameCase();

// Sets up the text codecs and the debug channel before anything is decoded.
void prepareProcess();

// The launcher's own path, the first word of its command line. Windows
// takes it from the Unicode command line, whatever argv's code page lost.
QString ownPath(int argc, char *argv[]);

// Starts the main program by name, with no arguments, in the launcher's
// working directory and environment, without waiting for it. Returns whether
// its process was created.
bool startDetached(const QString &programName);

// Whether an open waits for a file that another program holds or renames
// at that moment (on Windows, the wait of launcher_numbers.h), or gives up
// at once.
enum class Waiting { WhileHeld, None };

// The regular file (or a link to one), open read-only in text mode, or null:
// a folder, a FIFO or a device is no settings file. On Windows other
// programs may rename or delete the file meanwhile.
std::unique_ptr<QFile> openForReading(const QString &fileName, Waiting waiting = Waiting::WhileHeld);

// A file's stamp: which file a name stands for (volume and index) and which
// version of it (size and modification time). Another program's save
// changes it, whether it wrote in place or renamed a new file over the old.
// A file that can't be looked at has the null stamp.
struct FileStamp
{
    quint64 volume = 0;
    quint64 index = 0;
    qint64 size = -1;
    qint64 modified = 0;

    bool operator==(const FileStamp &other) const
    {
        return volume == other.volume && index == other.index && size == other.size && modified == other.modified;
    }
    bool operator!=(const FileStamp &other) const { return !(*this == other); }
};
FileStamp stampOf(const QFileDevice &openFile);
FileStamp stampOf(const QString &fileName);

// Renames from to to, unless a file (or link) named to exists.
bool renameWithoutReplacing(const QString &from, const QString &to);

// What the last look at the file finds: the check, just before it is
// replaced, that its name still stands for the version read.
enum class FileCheck {
    Unchanged, // as the launcher read it
    Saved, // another program's version: it wins
    Unreadable // can't be told now, which another program may cause for a moment
};

// The new version of a file, written beside it (beside its target, for a
// symbolic link) and then put in its place whole; whatever isn't committed
// is removed again. Opening it first removes what killed starts left behind.
class Replacement
{
public:
    // For the original, open for reading until commit().
    explicit Replacement(const QFileDevice &original);
    ~Replacement();
    Replacement(const Replacement &) = delete;
    Replacement &operator=(const Replacement &) = delete;

    // Makes the new file, once the original may be replaced at all. On
    // Windows it has the original's access rights, encryption, compression,
    // attributes and creation time before a byte is written to it, or it
    // isn't kept.
    bool open();
    QFileDevice &device();
    // Puts the bytes on the disk, the new file having the original's
    // metadata by then: on Windows given at creation, on Linux its owner,
    // group and permission bits copied now. Returns false when that can't
    // be done.
    bool flushWithMetadata();
    // Names the replacement as complete, then puts it in the file's place in
    // one rename; the original must be closed. check() is asked just before
    // every attempt, and only Unchanged lets it go ahead. On Windows a file
    // that another program holds open, or that can't be checked, is tried
    // again for the wait of launcher_numbers.h. Returns false when the file
    // is left as it was.
    bool commit(const std::function<FileCheck()> &check);

private:
    // The bytes are on the disk: the new file takes its complete name.
    bool nameAsComplete();

    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace platform

#endif // PLATFORM_H
