#ifndef BIBO_REWRITE_H
#define BIBO_REWRITE_H

#include "launcher_numbers.h"
#include "platform.h"

#include <QString>

class QFile;

// Points every BIBO entry of the settings file, open read-only in text mode,
// into launchFolder. The file is replaced only when a line changed, and only
// as a whole: the new content goes to a file beside it that takes the file's
// place once complete, with what the old file had (on Linux its permission
// bits, owner and group; on Windows its access rights, attributes and
// creation time). On return the file is still open read-only, or closed once
// replaced. It stays as it was where
// - the launch folder isn't absolute, or holds a line break;
// - the file is read-only, or its folder takes no new file;
// - the owner (or rights) can't be kept;
// - a read fails, or ends before the file's size;
// - a line has numbers::maximumLineLength characters or more (a string
//   couldn't hold a line of a gigabyte at all);
// - a Unicode file doesn't decode cleanly;
// - a character doesn't fit the encoding, or the new bytes would read back
//   as other text;
// - another program saved the file between the reading and the replacing,
//   even keeping its size and time.
void rewriteBiboPaths(QFile &settingsFile, const QString &launchFolder, PathRules rules);

#endif // BIBO_REWRITE_H
