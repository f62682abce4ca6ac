#ifndef PLATFORM_H
#define PLATFORM_H

#include <QString>

#include <functional>
#include <memory>

class QFile;
class QFileDevice;

// Which characters separate folders. Windows knows only the backslash; on
// Linux the slash counts too, and the folder of an entry may hold slashes so
// that an entry written there is recognised again on the next start. Both
// rule sets are available everywhere, so that both can be tested anywhere.
enum class PathRules { Windows, Posix };

// Everything in which the launcher differs between Windows and Linux. Each
// platform has one source file that implements these.
namespace platform {

// The rules of this platform's paths.
PathRules pathRules();

// Sets up the text codecs and the debug channel before anything is decoded.
void prepareProcess();

// The launcher's own path, the first word of its command line. Windows
// takes it from the Unicode command line, whatever argv's code page lost.
QString ownPath(int argc, char *argv[]);

// Starts the main program by name, with no arguments, in the launcher's
// working directory and environment, without waiting for it. Returns whether
// its process was created.
bool startDetached(const QString &programName);

// The file, open read-only in text mode, or null. On Windows other programs
// may rename or delete the file meanwhile, and a file that another program
// holds or renames at that moment is tried again for about a second.
std::unique_ptr<QFile> openForReading(const QString &fileName);

// Which file a name stands for and which version of it: another program's
// save changes the stamp, whether it wrote in place or renamed a new file
// over the old. A file that can't be looked at has the null stamp.
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

// The name of a temporary file beside fileName, new at every call, that no
// user would give a file of theirs: a start can tell its leftovers by it.
QString temporaryNameFor(const QString &fileName);
// Removes the temporary files beside fileName that starts killed part way
// left behind: those older than ten minutes, so that a launcher running at
// the same moment keeps its own. Nothing else is touched.
void removeStaleTemporaries(const QString &fileName);

// The new version of a file, written beside it (beside its target, for a
// symbolic link) and then put in its place whole; whatever isn't committed
// is removed again. Opening it first removes what killed starts left behind.
class Replacement
{
public:
    explicit Replacement(const QString &fileName);
    ~Replacement();
    Replacement(const Replacement &) = delete;
    Replacement &operator=(const Replacement &) = delete;

    // Makes the new file, once the original (open for reading) may be
    // replaced at all; on Windows with the original's access rights and
    // hidden or system attributes from the start.
    bool open(const QFileDevice &original);
    QFileDevice &device();
    // Puts the bytes on disk and gives the new file what the original had:
    // on Linux its owner, group and permission bits; on Windows its access
    // rights, attributes and creation time. Returns false when that can't
    // be done.
    bool prepare(const QFileDevice &original);
    // Puts the replacement in the file's place in one rename; the original
    // must be closed. unchanged() is asked just before every attempt, and
    // false leaves the file to the other program that saved it. On Windows a
    // file that another program holds open is tried again for about a
    // second. Returns false when the file is left as it was.
    bool commit(const std::function<bool()> &unchanged);

private:
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace platform

#endif // PLATFORM_H
