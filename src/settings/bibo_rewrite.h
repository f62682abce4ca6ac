#ifndef BIBO_REWRITE_H
#define BIBO_REWRITE_H

#include "platform.h"

#include <QString>
#include <QStringView>

#include <functional>

class QFile;

// Points every BIBO entry of the settings file, open read-only in text mode,
// into launchFolder. The file is replaced only when a line changed, and only
// as a whole: the new content goes to a temporary file beside it that takes
// the file's place once complete, keeping what the old file had (on Linux
// its permission bits, owner and group; on Windows its access rights,
// attributes and creation time). A read-only file, a folder that takes no
// new file, an owner that can't be kept, a read that fails or ends before
// the file's size, a line of maximumLineLength characters or more, a Unicode
// file that doesn't decode cleanly, a character the encoding can't hold, new
// bytes that would read back as other text, a launch folder that isn't
// absolute or holds a line break, or another program's save between the
// reading and the replacing (even one that kept size and time) leave the
// file as it was. On return the file is
// still open read-only, or closed when it was replaced. beforeReplacing,
// where given, runs just before the last look at the file: tests put another
// program's save there.
void rewriteBiboPaths(QFile &settingsFile, const QString &launchFolder, PathRules rules,
                      const std::function<void()> &beforeReplacing = nullptr);

// No settings line is this long; reading stops there, which bounds memory
// (a string couldn't hold a line of a gigabyte at all).
constexpr int maximumLineLength = 16 * 1024 * 1024;

// One line, without its line end, with its BIBO entry pointing into
// launchFolder; the line itself when it holds no entry, is up to date, or
// would not be up to date for the next start from the same folder either
// (a launch folder with "BIBO" before a character outside the folder class).
// Whatever precedes the entry's key is kept.
QString rewriteBiboEntry(const QString &line, const QString &launchFolder, PathRules rules);

// Whether entries may point into folder: a drive root (E:\), a network share
// (\\server\, but not \\?\ or \\.\), or under Posix rules a path from the
// root (/). A relative folder written into an entry could never be matched
// and repaired again.
bool isAbsoluteFolder(QStringView folder, PathRules rules);

#endif // BIBO_REWRITE_H
