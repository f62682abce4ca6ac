// What the new settings file takes over from the old one on Linux: owner,
// group and permission bits, set exactly and checked.
#include "security_unix.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

// Qt copies permissions as they apply to the current user, which adds the
// owner's write bit wherever we may write: set the exact bits instead, after
// the owner, since a change of owner clears set-ID bits.
bool copyOwnerAndMode(int original, int made)
{
    struct stat was, now;
    if (fstat(original, &was) != 0 || fstat(made, &now) != 0)
        return false;
    const mode_t mode = was.st_mode & 07777;
    if (was.st_uid != now.st_uid && fchown(made, was.st_uid, gid_t(-1)) != 0)
        return false;
    // A group we can't hand the file to may give way to ours only where
    // nobody's access changes: when the group has just what others have.
    const bool groupLikeOthers = ((mode >> 3) & 07) == (mode & 07) && !(mode & S_ISGID);
    if (was.st_gid != now.st_gid && fchown(made, uid_t(-1), was.st_gid) != 0 && !groupLikeOthers)
        return false;
    // A file system without permission bits (FAT or exFAT through FUSE) may
    // implement no chmod at all, or refuse to set a mode that is already
    // there. The system may also drop a set-ID bit without failing.
    if (fchmod(made, mode) != 0) {
        if (errno == ENOSYS || errno == EOPNOTSUPP)
            return true; // no bits to keep
        if (errno != EPERM)
            return false;
    }
    return fstat(made, &now) == 0 && (now.st_mode & 07777) == mode;
}

} // namespace platform
