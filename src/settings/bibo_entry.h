// The BIBO entry rule: where an entry's folder lies on a settings line, and
// the line with it pointing into the launch folder. Pure text, no file I/O.
#ifndef BIBO_ENTRY_H
#define BIBO_ENTRY_H

#include "platform.h"

#include <QString>
#include <QStringView>

// One line, without its line end, with its BIBO entry pointing into
// launchFolder; the line itself when it holds no entry, is up to date, or
// would not be up to date for the next start from the same folder either
// (a launch folder with "BIBO" before a character that ends a folder).
// Whatever precedes the entry's key is kept.
//
// An entry is a key (BIBOPATH, digits, =), a folder, and a tail from the
// last "BIBO" the folder reaches to the end of the line. The folder is first
// read with the narrow set of characters entries have always been read with;
// where no key on the line has an entry that way, it is read again with
// every character a Windows path may hold, and that entry counts only where
// its folder is absolute.
QString rewriteBiboEntry(const QString &line, const QString &launchFolder, PathRules rules);

// Whether entries may point into folder: a drive root (E:\), a network share
// (\\server\, but not \\?\ or \\.\), or under Posix rules a path from the
// root (/). A relative folder written into an entry would follow no move.
bool isAbsoluteFolder(QStringView folder, PathRules rules);

#endif // BIBO_ENTRY_H
