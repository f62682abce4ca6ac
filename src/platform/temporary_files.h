// The names of the replacement's files beside the settings file, shared by
// both platforms' replacements.
#ifndef TEMPORARY_FILES_H
#define TEMPORARY_FILES_H

#include <QString>

#include <functional>

namespace platform {

// The name of a temporary file beside fileName, new at every call, that no
// user would give a file of theirs: a start can tell its leftovers by it.
QString temporaryNameFor(const QString &fileName);
// The temporary file's complete name: the one it takes once it is complete
// and on the disk, just before it takes the file's place. A file under it is
// never partial.
QString completeNameFor(const QString &temporaryName);
// Where the replacement of fileName was cut short between its two renames
// (a start killed, or a FAT stick pulled while the system replaced the
// file), there may be no file of that name but one complete new one: it
// takes the name it was made for, unless another file has it by then (or
// another start at the same moment gave it that name first).
void restoreInterruptedReplacement(const QString &fileName);
// Removes the temporary and complete files beside fileName that starts
// killed part way left behind: those older than numbers::leftoverAgeSeconds,
// so that a launcher running at the same moment keeps its own. Nothing else is touched.
void removeStaleTemporaries(const QString &fileName);

enum class FreshName { Made, Taken, Failed };
// Hands make() new temporary names beside fileName until it makes a file
// under one, fails for another reason than the name being taken, or eight
// names were taken. Returns whether it made the file.
bool makeUnderFreshName(const QString &fileName, const std::function<FreshName(const QString &temporaryName)> &make);

} // namespace platform

#endif // TEMPORARY_FILES_H
