// The launcher's numbers and name pieces, each defined once: the code, the
// tests and (through the file the build writes for them) the Wine tests all
// take them from here. Plain C++, without Qt or Windows, so that a host
// compiler can read it in the Windows build.
#ifndef LAUNCHER_NUMBERS_H
#define LAUNCHER_NUMBERS_H

namespace numbers {

// --- The wait for a file another program holds (Windows) ---

// The pauses between the attempts, in milliseconds: about a second in all.
constexpr unsigned long waitPausesMs[] = { 10, 40, 100, 200, 300, 350 };
// Attempts that take long themselves end the whole wait here.
constexpr unsigned long long waitBoundMs = 2000;

// --- The new file's names beside the settings file ---
// The settings file's name, the marker and random base-36 digits, then one
// suffix while the file is written and another once it is complete and on
// the disk.

constexpr char temporaryMarker[] = ".start-";
constexpr int randomDigits = 13; // a 64-bit number in base 36
constexpr char temporarySuffix[] = ".tmp";
constexpr char completeSuffix[] = ".new";
// Fresh names tried before the making of a new file gives up.
constexpr int freshNameAttempts = 8;
// A new file this old belongs to a start that was killed or lost its power:
// the next start that writes removes it.
constexpr long long leftoverAgeSeconds = 10 * 60;

// A start holds its new file through one wait for the last look at the
// settings file and one for the rename, each bounded: its own file must
// stay far younger than a leftover, or another start would remove it.
static_assert(2 * waitBoundMs < leftoverAgeSeconds * 1000, "a start's own new file could pass for a leftover");

// --- Reading and writing the settings file ---

// The lines are read, and the new bytes decoded again, in pieces of this size.
constexpr int readBufferBytes = 16 * 1024;
// The new content goes to the disk in pieces of about this size.
constexpr int flushBytes = 64 * 1024;
// The check that a Unicode file decodes cleanly, and the comparison of the
// content just before the rename, read in pieces of this size.
constexpr int checkBufferBytes = 64 * 1024;
// Up to this size the content is compared again just before the rename.
constexpr long long contentCompareLimitBytes = 1024 * 1024;
// No settings line is this long; reading stops there, which bounds memory.
constexpr int maximumLineLength = 16 * 1024 * 1024;

} // namespace numbers

#endif // LAUNCHER_NUMBERS_H
