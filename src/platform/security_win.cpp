// What the new settings file takes over from the old one on Windows: access
// rights, encryption, compression, attributes and creation time, all given
// and checked before a byte of content is written.
#include "security_win.h"
#include "platform.h"
#include "temporary_files.h"

#include <aclapi.h>
#include <winioctl.h>

#include <cstring>
#include <optional>

namespace {

// Generic rights as files map them: a DACL may hold GENERIC_ALL where a
// copy of it holds FILE_ALL_ACCESS.
ACCESS_MASK mappedForFiles(ACCESS_MASK mask)
{
    if (mask & GENERIC_READ)
        mask |= FILE_GENERIC_READ;
    if (mask & GENERIC_WRITE)
        mask |= FILE_GENERIC_WRITE;
    if (mask & GENERIC_EXECUTE)
        mask |= FILE_GENERIC_EXECUTE;
    if (mask & GENERIC_ALL)
        mask |= FILE_ALL_ACCESS;
    return mask & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
}

// Calls visit(entry, size) for each entry of the ACL in order; false where
// the list is malformed. Every kind of entry has its access mask right
// after its header.
template <typename Visit>
bool forEachEntry(const ACL &list, Visit visit)
{
    const BYTE *at = reinterpret_cast<const BYTE *>(&list) + sizeof(ACL);
    const BYTE *const end = reinterpret_cast<const BYTE *>(&list) + list.AclSize;
    for (WORD i = 0; i < list.AceCount; ++i) {
        ACE_HEADER header;
        if (size_t(end - at) < sizeof header + sizeof(ACCESS_MASK))
            return false;
        std::memcpy(&header, at, sizeof header);
        if (header.AceSize < sizeof header + sizeof(ACCESS_MASK) || header.AceSize > size_t(end - at))
            return false;
        visit(at, header.AceSize);
        at += header.AceSize;
    }
    return true;
}

// What an ACL grants and denies, entry by entry in order: whether an entry
// came from the folder makes no difference, nor generic rights against the
// file rights they stand for.
std::optional<std::string> grantsOf(const ACL &list)
{
    std::string grants;
    const bool wellFormed = forEachEntry(list, [&grants](const BYTE *entry, WORD size) {
        std::string copy(reinterpret_cast<const char *>(entry), size);
        copy[offsetof(ACE_HEADER, AceFlags)] = char(entry[offsetof(ACE_HEADER, AceFlags)] & ~INHERITED_ACE);
        ACCESS_MASK mask;
        std::memcpy(&mask, entry + sizeof(ACE_HEADER), sizeof mask);
        mask = mappedForFiles(mask);
        std::memcpy(&copy[sizeof(ACE_HEADER)], &mask, sizeof mask);
        grants += copy;
    });
    return wellFormed ? std::optional<std::string>(grants) : std::nullopt;
}

bool sameRights(const ACL *one, const ACL *other)
{
    if (!one || !other)
        return one == other; // a null DACL grants everything, unlike any list
    const std::optional<std::string> grants = grantsOf(*one);
    return grants && grants == grantsOf(*other);
}

// FAT and exFAT keep no ACLs: the system answers for their files with a
// descriptor that grants everyone everything, and a share of such a disk
// may refuse to set one. A volume that can't be asked is taken to keep them.
bool volumeKeepsAcls(HANDLE file)
{
    DWORD flags = 0;
    return !GetVolumeInformationByHandleW(file, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0)
            || (flags & FILE_PERSISTENT_ACLS);
}

// A file under a fresh temporary name beside targetName, made only if no
// file has that name yet; its long name goes to *name. The last error stays
// the failed creation's.
platform::Handle createFresh(const QString &targetName, DWORD access, SECURITY_ATTRIBUTES *security,
                             DWORD attributes, std::wstring *name)
{
    platform::Handle made;
    DWORD error = ERROR_SUCCESS;
    platform::makeUnderFreshName(targetName, [&](const QString &temporaryName) {
        *name = platform::longPath(temporaryName);
        made.reset(CreateFileW(name->c_str(), access, FILE_SHARE_READ, security, CREATE_NEW, attributes, nullptr));
        error = GetLastError();
        return made.isValid() ? platform::FreshName::Made
                : error == ERROR_FILE_EXISTS ? platform::FreshName::Taken : platform::FreshName::Failed;
    });
    SetLastError(error);
    return made;
}

} // namespace

namespace platform {

bool Dacl::read(HANDLE file)
{
    DWORD revision = 0;
    return GetSecurityInfo(file, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &m_list, nullptr,
                           &m_descriptor)
            == ERROR_SUCCESS
            && GetSecurityDescriptorControl(m_descriptor, &m_control, &revision);
}

bool Dacl::hasOwnEntries() const
{
    bool own = false;
    if (m_list)
        forEachEntry(*m_list, [&own](const BYTE *entry, WORD) {
            own = own || !(entry[offsetof(ACE_HEADER, AceFlags)] & INHERITED_ACE);
        });
    return own;
}

bool Original::read(HANDLE file)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info))
        return false;
    m_attributes = info.dwFileAttributes;
    m_created = info.ftCreationTime;
    m_keepsAcls = volumeKeepsAcls(file);
    return !m_keepsAcls || (m_dacl.read(file) && makeSecurity());
}

bool Original::makeSecurity()
{
    // The old entries, marked as the file's own: a protected DACL takes
    // nothing from the folder, so none of its entries came from there.
    if (const ACL *list = m_dacl.list()) {
        const BYTE *bytes = reinterpret_cast<const BYTE *>(list);
        m_ownEntries.assign(bytes, bytes + list->AclSize);
        forEachEntry(*reinterpret_cast<ACL *>(m_ownEntries.data()), [](const BYTE *entry, WORD) {
            const_cast<BYTE *>(entry)[offsetof(ACE_HEADER, AceFlags)] &= BYTE(~INHERITED_ACE);
        });
    }
    m_security = { sizeof m_security, &m_descriptor, FALSE };
    return InitializeSecurityDescriptor(&m_descriptor, SECURITY_DESCRIPTOR_REVISION)
            && SetSecurityDescriptorDacl(&m_descriptor, TRUE,
                                         m_dacl.list() ? reinterpret_cast<PACL>(m_ownEntries.data()) : nullptr, FALSE)
            && SetSecurityDescriptorControl(&m_descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
}

std::vector<DaclWay> Original::ways() const
{
    if (!m_keepsAcls)
        return { DaclWay::None };
    if (!m_dacl.list() || m_dacl.isProtected())
        return { DaclWay::Own };
    // Entries marked as the folder's may not be what it passes on now (a
    // file moved in keeps those of the folder it came from), and the merge
    // takes what it passes on now: where either differs, the entries become
    // the file's own, protected, which keeps every right as it was.
    return { m_dacl.hasOwnEntries() ? DaclWay::Merged : DaclWay::FromFolder, DaclWay::Own };
}

DWORD Original::access(DaclWay way) const
{
    // Renamed or removed through its own handle, and looked at again before
    // it is written; FSCTL_SET_COMPRESSION asks for reading data as well as
    // writing it.
    DWORD access = GENERIC_WRITE | FILE_READ_DATA | DELETE | FILE_READ_ATTRIBUTES;
    if (way != DaclWay::None)
        access |= READ_CONTROL;
    if (way == DaclWay::Merged)
        access |= WRITE_DAC;
    return access;
}

SECURITY_ATTRIBUTES *Original::security(DaclWay way)
{
    return way == DaclWay::Merged || way == DaclWay::Own ? &m_security : nullptr;
}

DWORD Original::attributesAtCreation() const
{
    // Hidden and system from the start, so that the file never shows; but
    // CreateFileW makes no encrypted system file, so with encryption the
    // system attribute follows once the file is made.
    const bool encrypted = m_attributes & FILE_ATTRIBUTE_ENCRYPTED;
    const DWORD attributes
            = m_attributes & (FILE_ATTRIBUTE_HIDDEN | (encrypted ? FILE_ATTRIBUTE_ENCRYPTED : FILE_ATTRIBUTE_SYSTEM));
    return attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
}

Original::Fit Original::finish(HANDLE made, DaclWay way) const
{
    if (way == DaclWay::Merged
        && SetSecurityInfo(made, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION,
                           nullptr, nullptr, const_cast<PACL>(m_dacl.list()), nullptr)
                != ERROR_SUCCESS) {
        return Fit::TryAnotherWay;
    }
    if (way != DaclWay::None && !hasSameRights(made))
        return Fit::TryAnotherWay;
    carryTimeAndCompression(made);
    return hasSameAttributes(made) ? Fit::Kept : Fit::Never;
}

bool Original::hasSameRights(HANDLE made) const
{
    Dacl now;
    return now.read(made) && sameRights(now.list(), m_dacl.list());
}

void Original::carryTimeAndCompression(HANDLE made) const
{
    // A file system that keeps no creation time, or refuses to set it, costs
    // the file its creation time and not-indexed mark, not its update.
    FILE_BASIC_INFO basic = {};
    basic.CreationTime.LowPart = m_created.dwLowDateTime;
    basic.CreationTime.HighPart = LONG(m_created.dwHighDateTime);
    basic.FileAttributes = (m_attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED))
            | FILE_ATTRIBUTE_ARCHIVE;
    SetFileInformationByHandle(made, FileBasicInfo, &basic, sizeof basic);
    // Compression costs room on the disk, not data or rights: where it
    // can't be carried over, it is only lost.
    const bool compressed = m_attributes & FILE_ATTRIBUTE_COMPRESSED;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(made, &info) && bool(info.dwFileAttributes & FILE_ATTRIBUTE_COMPRESSED) != compressed) {
        USHORT format = compressed ? COMPRESSION_FORMAT_DEFAULT : COMPRESSION_FORMAT_NONE;
        DWORD returned = 0;
        DeviceIoControl(made, FSCTL_SET_COMPRESSION, &format, sizeof format, nullptr, 0, &returned, nullptr);
    }
}

bool Original::hasSameAttributes(HANDLE made) const
{
    // A new file takes its folder's encryption: an encrypted file in a plain
    // folder would become plaintext, a plain one in an encrypting folder
    // readable by the launching user alone.
    constexpr DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ENCRYPTED;
    BY_HANDLE_FILE_INFORMATION info;
    return GetFileInformationByHandle(made, &info) && (info.dwFileAttributes & kept) == (m_attributes & kept);
}

Handle makeLike(Original &original, const QString &targetName, std::wstring *name)
{
    for (const DaclWay way : original.ways()) {
        Handle made = createFresh(targetName, original.access(way), original.security(way),
                                  original.attributesAtCreation(), name);
        // A share that grants "Change" gives no WRITE_DAC: the next way asks for none.
        if (!made.isValid() && way == DaclWay::Merged && GetLastError() == ERROR_ACCESS_DENIED)
            continue;
        if (!made.isValid())
            return made;
        const Original::Fit fit = original.finish(made.get(), way);
        if (fit == Original::Fit::Kept)
            return made;
        discard(made.get(), *name, [&made] { made.reset(); });
        if (fit == Original::Fit::Never)
            break;
    }
    return Handle();
}

} // namespace platform
