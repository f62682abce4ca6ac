// What the new settings file takes over from the old one on Linux: owner,
// group and permission bits.
#ifndef SECURITY_UNIX_H
#define SECURITY_UNIX_H

namespace platform {

// Gives the file open as made the owner, group and exact permission bits of
// the one open as original. False where one that could be kept isn't; a
// file system without permission bits has none to keep.
bool copyOwnerAndMode(int original, int made);

} // namespace platform

#endif // SECURITY_UNIX_H
