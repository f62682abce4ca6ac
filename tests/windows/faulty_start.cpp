// start.exe itself, built with the system calls of replacing a file routed
// through this file, which makes them fail, or answer, the way Windows, FAT,
// exFAT and SMB do where Wine answers as a local disk. The calls are swapped
// where the linker resolves the launcher's and Qt's imports (__imp_
// pointers), so the product's code is the same as in start.exe.
//
// Every handle CreateFileW opens keeps the rights it was granted, generic
// ones mapped as files map them, and a call on it that needs a right it
// lacks fails with ERROR_ACCESS_DENIED, as Windows' I/O manager fails it
// before the file system sees it (Wine checks few of them):
//   ReadFile, _read                      FILE_READ_DATA
//   WriteFile, _write                    FILE_WRITE_DATA or FILE_APPEND_DATA
//   FlushFileBuffers                     FILE_WRITE_DATA or FILE_APPEND_DATA
//   GetFileInformationByHandle           FILE_READ_ATTRIBUTES
//   SetFileInformationByHandle           FileBasicInfo FILE_WRITE_ATTRIBUTES;
//                                        FileRenameInfo, FileDispositionInfo DELETE
//   GetSecurityInfo                      READ_CONTROL (owner, group, DACL)
//   SetSecurityInfo                      WRITE_DAC (DACL), WRITE_OWNER (owner, group)
//   DeviceIoControl                      what the control code's access bits
//                                        name (FSCTL_SET_COMPRESSION: read and
//                                        write data)
// Qt reads and writes through the C runtime's descriptors, whose ReadFile
// and WriteFile lie inside msvcrt.dll: they are checked at _read and _write.
//
// VELNOR_FAULTS: comma-separated rules POINT:ERROR:COUNT; the call at POINT
//   fails with ERROR the first COUNT times ("*": every time). An ERROR in hex
//   (0x...) is an NT status, turned into its Win32 error as the system does,
//   which leaves the status for RtlGetLastNtStatus. Points:
//   read-open     CreateFileW opening the settings file for reading
//   reread-open   the same once a new file was made: the last look
//   delete-open   CreateFileW asking for DELETE alone
//   look-open     CreateFileW asking for FILE_READ_ATTRIBUTES alone, once a
//                 rename over the file was tried: the look at the target
//                 after a rename reported failed
//   create-dac    CreateFileW making a new file with WRITE_DAC
//   create-new    CreateFileW making a new file, whatever it asks for
//   flush         FlushFileBuffers
//   rename        SetFileInformationByHandle(FileRenameInfo) over a file
//   rename-lost   the same, made, then reported failed (a reply lost)
//   rename-complete  the same, to the complete name (replacing nothing)
//   basic-info    SetFileInformationByHandle(FileBasicInfo)
//   dispose       SetFileInformationByHandle(FileDispositionInfo)
//   delete-name   DeleteFileW
//   move          MoveFileExW
//   move-raced    the same, made, then reported failed (another start made
//                 the same move a moment before)
//   get-security  GetSecurityInfo
//   set-security  SetSecurityInfo
//   volume-info   GetVolumeInformationByHandleW
//   final-path    GetFinalPathNameByHandleW
//   new-file-info GetFileInformationByHandle on a new file
//   compression   DeviceIoControl(FSCTL_SET_COMPRESSION)
//   unc-name      WNetGetUniversalNameW
//   create-process  CreateProcessW (740, ERROR_ELEVATION_REQUIRED, takes
//                 the way through the shell's consent prompt)
// Answers as another system gives them (GetFileAttributesW and SearchPathW
// always stop at MAX_PATH for a path without \\?\, as Windows does where
// long paths aren't enabled, its default):
// VELNOR_FAULT_FINAL_PATH: FROM|TO, GetFinalPathNameByHandleW answers
//   \\?\TO... where Wine answers \\?\FROM... (a share, a mapped drive).
// VELNOR_FAULT_VOLUME: FAT32 answers GetVolumeInformationByHandleW as
//   FastFAT does: a volume without persistent ACLs.
// VELNOR_FAULT_DACL: an SDDL DACL ("D:NO_ACCESS_CONTROL" for a null one)
//   that GetSecurityInfo reports for the old file. New files then get DACLs
//   as Windows gives them: one made without a descriptor takes the entries
//   of VELNOR_FAULT_FOLDER (SDDL entries, flagged ID), one made with a
//   protected descriptor takes that; an unprotected DACL set later keeps its
//   own entries and takes the folder's after them.
// VELNOR_FAULT_FILE_ID: GetFileInformationByHandle gives this file index
//   (hex) for every file: 0 as a file system without file IDs, all ones
//   for a file whose ID can't be established (MS-FSCC 2.1.9).
// VELNOR_FAULT_ATTRIBUTES: the old file's attributes (hex). New files then
//   get attributes as NTFS gives them: those asked at creation and the
//   archive attribute; FileBasicInfo sets all but encryption and
//   compression, FSCTL_SET_COMPRESSION sets that. VELNOR_FAULT_EFS=1
//   encrypts a file made with FILE_ATTRIBUTE_ENCRYPTED (but not with
//   FILE_ATTRIBUTE_SYSTEM), =folder every new file.
// VELNOR_FAULT_DRIVE: M:=\\srv\share, a mapped drive for
//   WNetGetUniversalNameW; other paths aren't on the network.
// VELNOR_FAULT_SHELL: record has ShellExecuteExW only note the program it
//   was asked to start, as if the user had consented; Wine's shell stops at
//   MAX_PATH.
// VELNOR_FAULT_RENAME_MS: each rename over a file first takes this long, as
//   one waiting for another program's oplock to break.
// VELNOR_FAULT_SAVE: a file whose bytes another program writes over the
//   renamed file in place, after the second failed rename.
// VELNOR_FAULT_LOG: a file that gets, when the process ends, how many new
//   files it made, how long it paused to try again ("slept", in ms: the same
//   however slow the machine), how long from the first rename over the file
//   to the end of the last ("waited"), the largest new file removed
//   ("discarded", bytes), and the attributes and DACL of the file that took
//   the name.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <shellapi.h>
#include <winioctl.h>
#include <winnetwk.h>

#include <io.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <map>
#include <string>
#include <vector>

namespace {

struct Fault
{
    DWORD error = 0;
    long remaining = 0; // < 0: every time
};

std::wstring variable(const wchar_t *name)
{
    wchar_t value[4096];
    const DWORD size = GetEnvironmentVariableW(name, value, 4096);
    return size > 0 && size < 4096 ? std::wstring(value, size) : std::wstring();
}

std::map<std::wstring, Fault> readFaults()
{
    std::map<std::wstring, Fault> faults;
    const std::wstring rules = variable(L"VELNOR_FAULTS");
    size_t begin = 0;
    while (begin < rules.size()) {
        size_t end = rules.find(L',', begin);
        end = end == std::wstring::npos ? rules.size() : end;
        const std::wstring rule = rules.substr(begin, end - begin);
        const size_t first = rule.find(L':'), second = rule.rfind(L':');
        Fault fault;
        fault.error = DWORD(std::wcstoul(rule.c_str() + first + 1, nullptr, 0));
        fault.remaining = rule.substr(second + 1) == L"*" ? -1 : std::wcstol(rule.c_str() + second + 1, nullptr, 10);
        faults[rule.substr(0, first)] = fault;
        begin = end + 1;
    }
    return faults;
}

std::map<std::wstring, Fault> &faults()
{
    static std::map<std::wstring, Fault> table = readFaults();
    return table;
}

// Whether the call at point fails now; the error is then the last error.
bool failing(const wchar_t *point)
{
    const auto found = faults().find(point);
    if (found == faults().end() || found->second.remaining == 0)
        return false;
    if (found->second.remaining > 0)
        --found->second.remaining;
    // A plain Win32 error leaves no status of a pending deletion behind.
    using ToError = ULONG(WINAPI *)(LONG);
    static const auto toError = reinterpret_cast<ToError>(
            reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlNtStatusToDosError")));
    const DWORD error = found->second.error;
    SetLastError(error >= 0xC0000000u ? toError(LONG(error)) : (toError(0), error));
    return true;
}

template <typename Function>
Function real(const char *dll, const char *name)
{
    return reinterpret_cast<Function>(reinterpret_cast<void *>(GetProcAddress(LoadLibraryA(dll), name)));
}

// --- The rights each handle was opened with ---

// Never destroyed: handles are closed until the process ends.
std::map<HANDLE, ACCESS_MASK> &granted()
{
    static auto *rights = new std::map<HANDLE, ACCESS_MASK>;
    return *rights;
}

void grant(HANDLE handle, ACCESS_MASK access)
{
    GENERIC_MAPPING files = { FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS };
    MapGenericMask(&access, &files);
    granted()[handle] = access & MAXIMUM_ALLOWED ? FILE_ALL_ACCESS : access;
}

// Whether the handle lacks one of the rights in needed (with anyOne, all of
// them); the last error is then ERROR_ACCESS_DENIED. Handles that no
// CreateFileW here opened aren't looked at.
bool lacks(HANDLE handle, ACCESS_MASK needed, bool anyOne = false)
{
    const auto found = granted().find(handle);
    if (found == granted().end() || needed == 0)
        return false;
    const ACCESS_MASK held = found->second & needed;
    if (anyOne ? held != 0 : held == needed)
        return false;
    SetLastError(ERROR_ACCESS_DENIED);
    return true;
}

constexpr ACCESS_MASK writeData = FILE_WRITE_DATA | FILE_APPEND_DATA;

// --- A new file as Windows would describe it ---

// A DACL in SDDL, its entries apart: Wine's SDDL functions know no null DACL.
struct DaclText
{
    bool null = false;
    bool isProtected = false;
    std::vector<std::wstring> entries; // "(A;ID;FA;;;WD)"

    static DaclText parse(const std::wstring &sddl)
    {
        DaclText dacl;
        size_t at = sddl.find(L'(');
        const std::wstring flags = sddl.substr(2, std::min(at, sddl.size()) - 2);
        dacl.null = flags.find(L"NO_ACCESS_CONTROL") != std::wstring::npos;
        dacl.isProtected = flags.find(L'P') != std::wstring::npos;
        while (at != std::wstring::npos) {
            const size_t end = sddl.find(L')', at);
            dacl.entries.push_back(sddl.substr(at, end + 1 - at));
            at = sddl.find(L'(', end);
        }
        return dacl;
    }

    static DaclText of(PSECURITY_DESCRIPTOR descriptor)
    {
        BOOL present = FALSE, defaulted = FALSE;
        PACL list = nullptr;
        SECURITY_DESCRIPTOR_CONTROL control = 0;
        DWORD revision = 0;
        wchar_t *text = nullptr;
        if (!descriptor || !GetSecurityDescriptorDacl(descriptor, &present, &list, &defaulted)
            || !GetSecurityDescriptorControl(descriptor, &control, &revision)
            || !ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1,
                                                                     DACL_SECURITY_INFORMATION, &text, nullptr))
            return DaclText();
        DaclText dacl = parse(text);
        LocalFree(text);
        dacl.null = present && !list;
        return dacl;
    }

    static bool isInherited(const std::wstring &entry)
    {
        const std::wstring flags = entry.substr(entry.find(L';') + 1, entry.find(L';', entry.find(L';') + 1) - entry.find(L';') - 1);
        for (size_t i = 0; i + 1 < flags.size(); i += 2) {
            if (flags.compare(i, 2, L"ID") == 0)
                return true;
        }
        return false;
    }

    std::wstring text() const
    {
        std::wstring sddl = std::wstring(L"D:") + (isProtected ? L"P" : L"AI") + (null ? L"NO_ACCESS_CONTROL" : L"");
        for (const std::wstring &entry : entries)
            sddl += entry;
        return sddl;
    }

    // A descriptor that GetSecurityInfo's caller frees with LocalFree.
    PSECURITY_DESCRIPTOR descriptor(PACL *list) const
    {
        PSECURITY_DESCRIPTOR made = nullptr;
        if (null) {
            made = LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH);
            InitializeSecurityDescriptor(made, SECURITY_DESCRIPTOR_REVISION);
            SetSecurityDescriptorDacl(made, TRUE, nullptr, FALSE);
            SetSecurityDescriptorControl(made, SE_DACL_PROTECTED, isProtected ? SE_DACL_PROTECTED : 0);
        } else if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(text().c_str(), SDDL_REVISION_1, &made,
                                                                          nullptr)) {
            return nullptr;
        }
        BOOL present = FALSE, defaulted = FALSE;
        GetSecurityDescriptorDacl(made, &present, list, &defaulted);
        return made;
    }
};

// What the folder passes on to a file made in it.
DaclText fromFolder()
{
    DaclText dacl = DaclText::parse(L"D:" + variable(L"VELNOR_FAULT_FOLDER"));
    return dacl;
}

// An unprotected DACL keeps its own entries and takes the folder's after
// them; a protected one stays as it is.
DaclText inheriting(DaclText dacl)
{
    if (dacl.isProtected || dacl.null)
        return dacl;
    dacl.entries.erase(std::remove_if(dacl.entries.begin(), dacl.entries.end(), DaclText::isInherited),
                       dacl.entries.end());
    for (const std::wstring &entry : fromFolder().entries)
        dacl.entries.push_back(entry);
    return dacl;
}

struct NewFile
{
    DaclText dacl;
    DWORD attributes = 0;
};

std::map<HANDLE, NewFile> &newFiles()
{
    static std::map<HANDLE, NewFile> files;
    return files;
}

bool modelsDacls()
{
    static const bool set = !variable(L"VELNOR_FAULT_DACL").empty();
    return set;
}

bool modelsAttributes()
{
    static const bool set = !variable(L"VELNOR_FAULT_ATTRIBUTES").empty();
    return set;
}

DWORD attributesAtCreation(DWORD flags)
{
    constexpr DWORD kept = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM
            | FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE;
    const std::wstring efs = variable(L"VELNOR_FAULT_EFS");
    const bool encrypted = efs == L"folder"
            || (efs == L"1" && (flags & FILE_ATTRIBUTE_ENCRYPTED) && !(flags & FILE_ATTRIBUTE_SYSTEM));
    return (flags & kept) | FILE_ATTRIBUTE_ARCHIVE | (encrypted ? FILE_ATTRIBUTE_ENCRYPTED : 0);
}

// --- What the log gets ---

int created = 0;
DWORD slept = 0;
DWORD firstRename = 0, lastRename = 0;
LONGLONG discarded = 0;
NewFile renamedFile;
bool renamedTracked = false;
int failedRenames = 0;
std::wstring renamed; // the file the last rename aimed at

HANDLE WINAPI createFile(LPCWSTR name, DWORD access, DWORD sharing, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                         DWORD flags, HANDLE templateFile)
{
    static const auto call = real<decltype(&CreateFileW)>("kernel32.dll", "CreateFileW");
    const bool reading = access == GENERIC_READ && disposition == OPEN_EXISTING;
    if ((reading && created == 0 && failing(L"read-open")) || (reading && created > 0 && failing(L"reread-open"))
        || (access == DELETE && failing(L"delete-open"))
        || (access == FILE_READ_ATTRIBUTES && firstRename && failing(L"look-open"))
        || (disposition == CREATE_NEW && (access & WRITE_DAC) && failing(L"create-dac"))
        || (disposition == CREATE_NEW && failing(L"create-new"))) {
        return INVALID_HANDLE_VALUE;
    }
    const HANDLE handle = call(name, access, sharing, security, disposition, flags, templateFile);
    if (handle == INVALID_HANDLE_VALUE)
        return handle;
    grant(handle, access);
    newFiles().erase(handle);
    if (disposition == CREATE_NEW) {
        ++created;
        NewFile file;
        file.dacl = security ? inheriting(DaclText::of(security->lpSecurityDescriptor)) : inheriting(DaclText());
        file.attributes = attributesAtCreation(flags);
        newFiles()[handle] = file;
    }
    return handle;
}

BOOL WINAPI flushFileBuffers(HANDLE file)
{
    static const auto call = real<decltype(&FlushFileBuffers)>("kernel32.dll", "FlushFileBuffers");
    return lacks(file, writeData, true) || failing(L"flush") ? FALSE : call(file);
}

BOOL WINAPI closeHandle(HANDLE handle)
{
    static const auto call = real<decltype(&CloseHandle)>("kernel32.dll", "CloseHandle");
    granted().erase(handle);
    return call(handle);
}

BOOL WINAPI readFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD read, LPOVERLAPPED overlapped)
{
    static const auto call = real<decltype(&ReadFile)>("kernel32.dll", "ReadFile");
    return lacks(file, FILE_READ_DATA) ? FALSE : call(file, buffer, size, read, overlapped);
}

BOOL WINAPI writeFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written, LPOVERLAPPED overlapped)
{
    static const auto call = real<decltype(&WriteFile)>("kernel32.dll", "WriteFile");
    return lacks(file, writeData, true) ? FALSE : call(file, buffer, size, written, overlapped);
}

// The C runtime's descriptors, as msvcrt answers a ReadFile or WriteFile
// that fails with ERROR_ACCESS_DENIED.
bool descriptorLacks(int descriptor, ACCESS_MASK needed, bool anyOne)
{
    if (!lacks(HANDLE(_get_osfhandle(descriptor)), needed, anyOne))
        return false;
    errno = EACCES;
    _doserrno = ERROR_ACCESS_DENIED;
    return true;
}

int __cdecl readDescriptor(int descriptor, void *buffer, unsigned size)
{
    static const auto call = real<int(__cdecl *)(int, void *, unsigned)>("msvcrt.dll", "_read");
    return descriptorLacks(descriptor, FILE_READ_DATA, false) ? -1 : call(descriptor, buffer, size);
}

int __cdecl writeDescriptor(int descriptor, const void *buffer, unsigned size)
{
    static const auto call = real<int(__cdecl *)(int, const void *, unsigned)>("msvcrt.dll", "_write");
    return descriptorLacks(descriptor, writeData, true) ? -1 : call(descriptor, buffer, size);
}

// Another program's save in place, made while the launcher waits to rename.
void saveTheirs()
{
    const std::wstring theirs = variable(L"VELNOR_FAULT_SAVE");
    if (theirs.empty() || renamed.empty())
        return;
    CopyFileW(theirs.c_str(), renamed.c_str(), FALSE);
}

using SetInformation = decltype(&SetFileInformationByHandle);

BOOL renameOver(SetInformation call, HANDLE file, LPVOID information, DWORD size)
{
    static const DWORD delay = DWORD(std::wcstoul(variable(L"VELNOR_FAULT_RENAME_MS").c_str(), nullptr, 10));
    static const auto pause = real<decltype(&Sleep)>("kernel32.dll", "Sleep");
    if (lacks(file, DELETE))
        return FALSE;
    const auto *rename = static_cast<const FILE_RENAME_INFO *>(information);
    renamed.assign(rename->FileName, rename->FileNameLength / sizeof(wchar_t));
    if (!firstRename)
        firstRename = GetTickCount();
    pause(delay);
    lastRename = GetTickCount();
    if (failing(L"rename")) {
        const DWORD error = GetLastError();
        if (++failedRenames == 2)
            saveTheirs();
        SetLastError(error);
        return FALSE;
    }
    if (!call(file, FileRenameInfo, information, size))
        return FALSE;
    const auto found = newFiles().find(file);
    renamedTracked = found != newFiles().end();
    if (renamedTracked)
        renamedFile = found->second;
    return !failing(L"rename-lost");
}

void setBasicInfo(HANDLE file, const FILE_BASIC_INFO &basic)
{
    constexpr DWORD unsettable = FILE_ATTRIBUTE_ENCRYPTED | FILE_ATTRIBUTE_COMPRESSED | FILE_ATTRIBUTE_NORMAL;
    const auto found = newFiles().find(file);
    if (found != newFiles().end() && basic.FileAttributes)
        found->second.attributes = (basic.FileAttributes & ~unsettable)
                | (found->second.attributes & (FILE_ATTRIBUTE_ENCRYPTED | FILE_ATTRIBUTE_COMPRESSED));
}

BOOL WINAPI setFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID information, DWORD size)
{
    static const auto call = real<SetInformation>("kernel32.dll", "SetFileInformationByHandle");
    if (kind == FileRenameInfo && static_cast<const FILE_RENAME_INFO *>(information)->ReplaceIfExists)
        return renameOver(call, file, information, size);
    if (lacks(file, kind == FileBasicInfo ? FILE_WRITE_ATTRIBUTES
                            : kind == FileRenameInfo || kind == FileDispositionInfo ? DELETE : 0))
        return FALSE;
    if ((kind == FileRenameInfo && failing(L"rename-complete")) || (kind == FileBasicInfo && failing(L"basic-info"))
        || (kind == FileDispositionInfo && failing(L"dispose")))
        return FALSE;
    LARGE_INTEGER length = {};
    if (kind == FileDispositionInfo && static_cast<const FILE_DISPOSITION_INFO *>(information)->DeleteFile
        && GetFileSizeEx(file, &length))
        discarded = std::max(discarded, LONGLONG(length.QuadPart));
    if (!call(file, kind, information, size))
        return FALSE;
    if (kind == FileBasicInfo)
        setBasicInfo(file, *static_cast<const FILE_BASIC_INFO *>(information));
    return TRUE;
}

BOOL WINAPI deleteFile(LPCWSTR name)
{
    static const auto call = real<decltype(&DeleteFileW)>("kernel32.dll", "DeleteFileW");
    return failing(L"delete-name") ? FALSE : call(name);
}

BOOL WINAPI moveFileEx(LPCWSTR from, LPCWSTR to, DWORD flags)
{
    static const auto call = real<decltype(&MoveFileExW)>("kernel32.dll", "MoveFileExW");
    if (failing(L"move"))
        return FALSE;
    if (!call(from, to, flags))
        return FALSE;
    return !failing(L"move-raced");
}

DWORD WINAPI getSecurityInfo(HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION which, PSID *owner, PSID *group,
                             PACL *dacl, PACL *sacl, PSECURITY_DESCRIPTOR *descriptor)
{
    static const auto call = real<decltype(&GetSecurityInfo)>("advapi32.dll", "GetSecurityInfo");
    constexpr SECURITY_INFORMATION controlled
            = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    if (lacks(handle, which & controlled ? READ_CONTROL : 0) || failing(L"get-security"))
        return GetLastError();
    if (!modelsDacls() || which != DACL_SECURITY_INFORMATION || !dacl || !descriptor)
        return call(handle, type, which, owner, group, dacl, sacl, descriptor);
    const auto found = newFiles().find(handle);
    const DaclText answer = found != newFiles().end() ? found->second.dacl
                                                      : DaclText::parse(variable(L"VELNOR_FAULT_DACL"));
    *descriptor = answer.descriptor(dacl);
    return *descriptor ? ERROR_SUCCESS : GetLastError();
}

DWORD WINAPI setSecurityInfo(HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION which, PSID owner, PSID group,
                             PACL dacl, PACL sacl)
{
    static const auto call = real<decltype(&SetSecurityInfo)>("advapi32.dll", "SetSecurityInfo");
    const ACCESS_MASK needed = (which & DACL_SECURITY_INFORMATION ? WRITE_DAC : 0)
            | (which & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION) ? WRITE_OWNER : 0);
    if (lacks(handle, needed) || failing(L"set-security"))
        return GetLastError();
    const DWORD result = call(handle, type, which, owner, group, dacl, sacl);
    const auto found = newFiles().find(handle);
    if (result == ERROR_SUCCESS && found != newFiles().end() && (which & DACL_SECURITY_INFORMATION)) {
        SECURITY_DESCRIPTOR descriptor;
        InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
        SetSecurityDescriptorDacl(&descriptor, TRUE, dacl, FALSE);
        DaclText set = DaclText::of(&descriptor);
        set.isProtected = which & PROTECTED_DACL_SECURITY_INFORMATION;
        found->second.dacl = inheriting(set);
    }
    return result;
}

BOOL WINAPI getFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info)
{
    static const auto call = real<decltype(&GetFileInformationByHandle)>("kernel32.dll", "GetFileInformationByHandle");
    const auto found = newFiles().find(file);
    if (lacks(file, FILE_READ_ATTRIBUTES) || (found != newFiles().end() && failing(L"new-file-info"))
        || !call(file, info))
        return FALSE;
    const std::wstring fileId = variable(L"VELNOR_FAULT_FILE_ID");
    if (!fileId.empty()) {
        const unsigned long long index = std::wcstoull(fileId.c_str(), nullptr, 16);
        info->nFileIndexHigh = DWORD(index >> 32);
        info->nFileIndexLow = DWORD(index);
    }
    if (found != newFiles().end() && modelsAttributes())
        info->dwFileAttributes = found->second.attributes;
    else if (modelsAttributes())
        info->dwFileAttributes = DWORD(std::wcstoul(variable(L"VELNOR_FAULT_ATTRIBUTES").c_str(), nullptr, 16));
    return TRUE;
}

BOOL WINAPI deviceIoControl(HANDLE file, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                            LPDWORD returned, LPOVERLAPPED overlapped)
{
    static const auto call = real<decltype(&DeviceIoControl)>("kernel32.dll", "DeviceIoControl");
    // A control code's bits 14 and 15 name the access it needs.
    const DWORD access = code >> 14 & 3;
    if (lacks(file, (access & FILE_READ_ACCESS ? FILE_READ_DATA : 0) | (access & FILE_WRITE_ACCESS ? FILE_WRITE_DATA : 0)))
        return FALSE;
    if (code != FSCTL_SET_COMPRESSION)
        return call(file, code, in, inSize, out, outSize, returned, overlapped);
    if (failing(L"compression"))
        return FALSE;
    const auto found = newFiles().find(file);
    if (found != newFiles().end()) {
        const bool compress = *static_cast<const USHORT *>(in) != COMPRESSION_FORMAT_NONE;
        found->second.attributes = (found->second.attributes & ~FILE_ATTRIBUTE_COMPRESSED)
                | (compress ? FILE_ATTRIBUTE_COMPRESSED : 0);
    }
    return TRUE;
}

DWORD WINAPI getFinalPathNameByHandle(HANDLE file, LPWSTR path, DWORD size, DWORD flags)
{
    static const auto call = real<decltype(&GetFinalPathNameByHandleW)>("kernel32.dll", "GetFinalPathNameByHandleW");
    if (failing(L"final-path"))
        return 0;
    const std::wstring mapping = variable(L"VELNOR_FAULT_FINAL_PATH");
    const size_t bar = mapping.find(L'|');
    wchar_t answer[32768];
    const DWORD length = call(file, answer, 32768, flags);
    if (length == 0 || length >= 32768)
        return length;
    std::wstring result(answer, length);
    const std::wstring from = L"\\\\?\\" + mapping.substr(0, bar);
    if (bar != std::wstring::npos && result.compare(0, from.size(), from) == 0)
        result = L"\\\\?\\" + mapping.substr(bar + 1) + result.substr(from.size());
    if (result.size() >= size)
        return DWORD(result.size() + 1);
    std::wmemcpy(path, result.c_str(), result.size() + 1);
    return DWORD(result.size());
}

BOOL WINAPI getVolumeInformationByHandle(HANDLE file, LPWSTR label, DWORD labelSize, LPDWORD serial,
                                         LPDWORD component, LPDWORD flags, LPWSTR system, DWORD systemSize)
{
    static const auto call = real<decltype(&GetVolumeInformationByHandleW)>("kernel32.dll",
                                                                            "GetVolumeInformationByHandleW");
    if (failing(L"volume-info"))
        return FALSE;
    if (!call(file, label, labelSize, serial, component, flags, system, systemSize))
        return FALSE;
    if (variable(L"VELNOR_FAULT_VOLUME") == L"FAT32") {
        // FastFAT's FatQueryFsAttributeInfo.
        if (flags)
            *flags = FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK;
        if (system && systemSize > 5)
            std::wcscpy(system, L"FAT32");
    }
    return TRUE;
}

BOOL WINAPI createProcess(LPCWSTR application, LPWSTR commandLine, LPSECURITY_ATTRIBUTES processSecurity,
                          LPSECURITY_ATTRIBUTES threadSecurity, BOOL inherit, DWORD flags, LPVOID environment,
                          LPCWSTR directory, LPSTARTUPINFOW startup, LPPROCESS_INFORMATION process)
{
    static const auto call = real<decltype(&CreateProcessW)>("kernel32.dll", "CreateProcessW");
    return failing(L"create-process") ? FALSE
                                      : call(application, commandLine, processSecurity, threadSecurity, inherit, flags,
                                             environment, directory, startup, process);
}

// Windows stops a path without \\?\ at MAX_PATH unless the program declares
// itself long-path aware, as start.exe does, and long paths are enabled,
// which they aren't by default; Wine doesn't stop.
DWORD WINAPI getFileAttributes(LPCWSTR name)
{
    static const auto call = real<decltype(&GetFileAttributesW)>("kernel32.dll", "GetFileAttributesW");
    if (std::wcslen(name) >= MAX_PATH && std::wcsncmp(name, L"\\\\?\\", 4) != 0) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_FILE_ATTRIBUTES;
    }
    return call(name);
}

DWORD WINAPI searchPath(LPCWSTR path, LPCWSTR name, LPCWSTR extension, DWORD size, LPWSTR found, LPWSTR *part)
{
    static const auto call = real<decltype(&SearchPathW)>("kernel32.dll", "SearchPathW");
    wchar_t answer[32768];
    const DWORD length = call(path, name, extension, 32768, answer, nullptr);
    if (length >= MAX_PATH) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    return call(path, name, extension, size, found, part);
}

std::wstring shellStarted;

BOOL WINAPI shellExecuteEx(SHELLEXECUTEINFOW *info)
{
    static const auto call = real<decltype(&ShellExecuteExW)>("shell32.dll", "ShellExecuteExW");
    if (variable(L"VELNOR_FAULT_SHELL") != L"record")
        return call(info);
    shellStarted = info->lpFile;
    return TRUE;
}

void WINAPI sleep(DWORD milliseconds)
{
    static const auto call = real<decltype(&Sleep)>("kernel32.dll", "Sleep");
    slept += milliseconds;
    call(milliseconds);
}

void writeLog()
{
    const std::wstring log = variable(L"VELNOR_FAULT_LOG");
    if (FILE *file = log.empty() ? nullptr : _wfopen(log.c_str(), L"w")) {
        std::fprintf(file, "created=%d slept=%lu waited=%lu discarded=%lld", created, slept, lastRename - firstRename,
                     discarded);
        if (renamedTracked && modelsAttributes())
            std::fprintf(file, " attributes=0x%lx", renamedFile.attributes);
        if (renamedTracked && modelsDacls())
            std::fprintf(file, " dacl=%ls", renamedFile.dacl.text().c_str());
        if (!shellStarted.empty())
            std::fprintf(file, " shell=%ls", shellStarted.c_str());
        std::fprintf(file, "\n");
        std::fclose(file);
    }
}

const int logged = std::atexit(writeLog);

} // namespace

// The import pointers the launcher's code and Qt's call through.
extern "C" {
void *createFilePointer __asm__("__imp__CreateFileW@28") = reinterpret_cast<void *>(createFile);
void *flushPointer __asm__("__imp__FlushFileBuffers@4") = reinterpret_cast<void *>(flushFileBuffers);
void *closePointer __asm__("__imp__CloseHandle@4") = reinterpret_cast<void *>(closeHandle);
void *readPointer __asm__("__imp__ReadFile@20") = reinterpret_cast<void *>(readFile);
void *writePointer __asm__("__imp__WriteFile@20") = reinterpret_cast<void *>(writeFile);
void *readDescriptorPointer __asm__("__imp___read") = reinterpret_cast<void *>(readDescriptor);
void *writeDescriptorPointer __asm__("__imp___write") = reinterpret_cast<void *>(writeDescriptor);
void *setInformationPointer __asm__("__imp__SetFileInformationByHandle@16")
        = reinterpret_cast<void *>(setFileInformationByHandle);
void *deletePointer __asm__("__imp__DeleteFileW@4") = reinterpret_cast<void *>(deleteFile);
void *movePointer __asm__("__imp__MoveFileExW@12") = reinterpret_cast<void *>(moveFileEx);
void *createProcessPointer __asm__("__imp__CreateProcessW@40") = reinterpret_cast<void *>(createProcess);
void *sleepPointer __asm__("__imp__Sleep@4") = reinterpret_cast<void *>(sleep);
void *shellPointer __asm__("__imp__ShellExecuteExW@4") = reinterpret_cast<void *>(shellExecuteEx);
void *attributesPointer __asm__("__imp__GetFileAttributesW@4") = reinterpret_cast<void *>(getFileAttributes);
void *searchPathPointer __asm__("__imp__SearchPathW@24") = reinterpret_cast<void *>(searchPath);
void *getSecurityPointer __asm__("__imp__GetSecurityInfo@32") = reinterpret_cast<void *>(getSecurityInfo);
void *setSecurityPointer __asm__("__imp__SetSecurityInfo@28") = reinterpret_cast<void *>(setSecurityInfo);
void *fileInformationPointer __asm__("__imp__GetFileInformationByHandle@8")
        = reinterpret_cast<void *>(getFileInformationByHandle);
void *deviceIoControlPointer __asm__("__imp__DeviceIoControl@32") = reinterpret_cast<void *>(deviceIoControl);
void *finalPathPointer __asm__("__imp__GetFinalPathNameByHandleW@16") = reinterpret_cast<void *>(getFinalPathNameByHandle);
void *volumePointer __asm__("__imp__GetVolumeInformationByHandleW@32")
        = reinterpret_cast<void *>(getVolumeInformationByHandle);
}

// winnetwk.h declares it without dllimport, so the launcher calls the
// function itself, not through a pointer.
DWORD WINAPI WNetGetUniversalNameW(LPCWSTR local, DWORD level, LPVOID buffer, LPDWORD size)
{
    if (failing(L"unc-name"))
        return GetLastError();
    const std::wstring drive = variable(L"VELNOR_FAULT_DRIVE"); // M:=\\srv\share
    const std::wstring path = local;
    if (level != UNIVERSAL_NAME_INFO_LEVEL || drive.size() < 3 || _wcsnicmp(path.c_str(), drive.c_str(), 2) != 0) {
        SetLastError(ERROR_NOT_CONNECTED);
        return ERROR_NOT_CONNECTED;
    }
    const std::wstring universal = drive.substr(3) + path.substr(2);
    const DWORD needed = DWORD(sizeof(UNIVERSAL_NAME_INFOW) + (universal.size() + 1) * sizeof(wchar_t));
    if (*size < needed) {
        *size = needed;
        SetLastError(ERROR_MORE_DATA);
        return ERROR_MORE_DATA;
    }
    auto *info = static_cast<UNIVERSAL_NAME_INFOW *>(buffer);
    info->lpUniversalName = reinterpret_cast<wchar_t *>(info + 1);
    std::wmemcpy(info->lpUniversalName, universal.c_str(), universal.size() + 1);
    return NO_ERROR;
}
