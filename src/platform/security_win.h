// What the new settings file takes over from the old one on Windows: access
// rights, encryption, compression, attributes and creation time.
#ifndef SECURITY_WIN_H
#define SECURITY_WIN_H

#include "platform_win.h"

#include <QString>

#include <windows.h>

#include <string>
#include <vector>

namespace platform {

// The old file's DACL as GetSecurityInfo gives it.
class Dacl
{
public:
    Dacl() = default;
    Dacl(const Dacl &) = delete;
    Dacl &operator=(const Dacl &) = delete;
    ~Dacl() { LocalFree(m_descriptor); }

    bool read(HANDLE file);
    const ACL *list() const { return m_list; } // null: everyone has every right
    bool isProtected() const { return m_control & SE_DACL_PROTECTED; }
    // Whether an entry is the file's own, not one its folder passed on.
    bool hasOwnEntries() const;

private:
    PSECURITY_DESCRIPTOR m_descriptor = nullptr;
    PACL m_list = nullptr;
    SECURITY_DESCRIPTOR_CONTROL m_control = 0;
};

// How the new file comes by its DACL; each way that may give it exactly the
// old file's rights is tried in turn, the first that does is kept.
enum class DaclWay {
    None, // the volume keeps no ACLs (FAT, exFAT): nothing to carry
    FromFolder, // made without one: the folder's entries come by themselves
    Merged, // made with the old entries, protected; then unprotected, which
            // merges in what the folder passes on now (needs WRITE_DAC)
    Own // made with the old entries as its own, protected from the folder
};

// The old file as the new one must copy it: read once, before anything is
// made.
class Original
{
public:
    // False where the old file's rights can't be read.
    bool read(HANDLE file);
    std::vector<DaclWay> ways() const;
    // What CreateFileW gets for a way.
    DWORD access(DaclWay way) const;
    SECURITY_ATTRIBUTES *security(DaclWay way);
    DWORD attributesAtCreation() const;

    enum class Fit { Kept, TryAnotherWay, Never };
    // Finishes a file made in that way and checks it, before a byte is
    // written: the old file's rights exactly, its encryption, hidden and
    // system attributes; its creation time, not-indexed mark and compression
    // where the file system takes them. Always the archive attribute, which
    // tells backups that it changed.
    Fit finish(HANDLE made, DaclWay way) const;

private:
    // The descriptor a new file is made with: the old entries as its own, protected.
    bool makeSecurity();
    bool hasSameRights(HANDLE made) const;
    void carryTimeAndCompression(HANDLE made) const;
    bool hasSameAttributes(HANDLE made) const;

    DWORD m_attributes = 0;
    FILETIME m_created = {};
    bool m_keepsAcls = true;
    Dacl m_dacl;
    std::vector<BYTE> m_ownEntries; // the old entries, none marked inherited
    SECURITY_DESCRIPTOR m_descriptor = {};
    SECURITY_ATTRIBUTES m_security = {};
};

// Makes the new file beside targetName (under a fresh temporary name, which
// goes to *name) in the first way that gives it what the original has; an
// invalid handle where none does or the folder takes no new file.
Handle makeLike(Original &original, const QString &targetName, std::wstring *name);

} // namespace platform

#endif // SECURITY_WIN_H
