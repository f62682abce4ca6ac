// start.exe itself, built with the system calls of replacing a file routed
// through this file, which makes them fail the way real systems do where
// Wine grants everything: shares without some rights, full disks, files
// held by others. The calls are swapped where the linker resolves the
// launcher's and Qt's imports (__imp_ pointers), so the product's code is
// the same as in start.exe.
//
// VELNOR_FAULTS: comma-separated rules POINT:ERROR:COUNT; the call at POINT
//   fails with ERROR the first COUNT times ("*": every time). An ERROR in hex
//   (0x...) is an NT status, turned into its Win32 error as the system does,
//   which leaves the status for RtlGetLastNtStatus. Points:
//   read-open     CreateFileW opening the settings file for reading
//   delete-open   CreateFileW asking for DELETE alone
//   create-dac    CreateFileW making a new file with WRITE_DAC
//   flush         FlushFileBuffers
//   rename        SetFileInformationByHandle(FileRenameInfo)
//   basic-info    SetFileInformationByHandle(FileBasicInfo)
//   delete-name   DeleteFileW
//   get-security  GetSecurityInfo
//   set-security  SetSecurityInfo
//   create-process  CreateProcessW (740, ERROR_ELEVATION_REQUIRED, takes
//                 the way through the shell's consent prompt)
// VELNOR_FAULT_DACL: an SDDL string that GetSecurityInfo reports as the DACL.
// VELNOR_FAULT_SAVE: a file whose bytes another program writes over the
//   renamed file in place, after the second failed rename.
// VELNOR_FAULT_LOG: a file that gets, when the process ends, how many new
//   files it made and how long it waited to try again ("created=N slept=N",
//   in ms: the same however slow the machine).
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <map>
#include <string>

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

int created = 0;
DWORD slept = 0;
int failedRenames = 0;
std::wstring renamed; // the file the last rename aimed at

template <typename Function>
Function real(const char *dll, const char *name)
{
    return reinterpret_cast<Function>(reinterpret_cast<void *>(GetProcAddress(LoadLibraryA(dll), name)));
}

HANDLE WINAPI createFile(LPCWSTR name, DWORD access, DWORD sharing, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                         DWORD flags, HANDLE templateFile)
{
    static const auto call = real<decltype(&CreateFileW)>("kernel32.dll", "CreateFileW");
    if ((access == GENERIC_READ && disposition == OPEN_EXISTING && failing(L"read-open"))
        || (access == DELETE && failing(L"delete-open"))
        || (disposition == CREATE_NEW && (access & WRITE_DAC) && failing(L"create-dac"))) {
        return INVALID_HANDLE_VALUE;
    }
    const HANDLE handle = call(name, access, sharing, security, disposition, flags, templateFile);
    if (handle != INVALID_HANDLE_VALUE && disposition == CREATE_NEW)
        ++created;
    return handle;
}

BOOL WINAPI flushFileBuffers(HANDLE file)
{
    static const auto call = real<decltype(&FlushFileBuffers)>("kernel32.dll", "FlushFileBuffers");
    return failing(L"flush") ? FALSE : call(file);
}

// Another program's save in place, made while the launcher waits to rename.
void saveTheirs()
{
    const std::wstring theirs = variable(L"VELNOR_FAULT_SAVE");
    if (theirs.empty() || renamed.empty())
        return;
    CopyFileW(theirs.c_str(), renamed.c_str(), FALSE);
}

BOOL WINAPI setFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID information, DWORD size)
{
    static const auto call = real<decltype(&SetFileInformationByHandle)>("kernel32.dll", "SetFileInformationByHandle");
    if (kind == FileRenameInfo) {
        const auto *rename = static_cast<const FILE_RENAME_INFO *>(information);
        renamed.assign(rename->FileName, rename->FileNameLength / sizeof(wchar_t));
        if (failing(L"rename")) {
            const DWORD error = GetLastError();
            if (++failedRenames == 2)
                saveTheirs();
            SetLastError(error);
            return FALSE;
        }
    }
    if (kind == FileBasicInfo && failing(L"basic-info"))
        return FALSE;
    return call(file, kind, information, size);
}

BOOL WINAPI deleteFile(LPCWSTR name)
{
    static const auto call = real<decltype(&DeleteFileW)>("kernel32.dll", "DeleteFileW");
    return failing(L"delete-name") ? FALSE : call(name);
}

DWORD WINAPI getSecurityInfo(HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION which, PSID *owner, PSID *group,
                             PACL *dacl, PACL *sacl, PSECURITY_DESCRIPTOR *descriptor)
{
    static const auto call = real<decltype(&GetSecurityInfo)>("advapi32.dll", "GetSecurityInfo");
    if (failing(L"get-security"))
        return GetLastError();
    const std::wstring sddl = variable(L"VELNOR_FAULT_DACL");
    if (sddl.empty() || which != DACL_SECURITY_INFORMATION || !dacl || !descriptor)
        return call(handle, type, which, owner, group, dacl, sacl, descriptor);
    BOOL present = FALSE, defaulted = FALSE;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, descriptor, nullptr)
        || !GetSecurityDescriptorDacl(*descriptor, &present, dacl, &defaulted))
        return GetLastError();
    return ERROR_SUCCESS;
}

DWORD WINAPI setSecurityInfo(HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION which, PSID owner, PSID group,
                             PACL dacl, PACL sacl)
{
    static const auto call = real<decltype(&SetSecurityInfo)>("advapi32.dll", "SetSecurityInfo");
    return failing(L"set-security") ? GetLastError() : call(handle, type, which, owner, group, dacl, sacl);
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
        std::fprintf(file, "created=%d slept=%lu\n", created, slept);
        std::fclose(file);
    }
}

const int logged = std::atexit(writeLog);

} // namespace

// The import pointers the launcher's code and Qt's call through.
extern "C" {
void *createFilePointer __asm__("__imp__CreateFileW@28") = reinterpret_cast<void *>(createFile);
void *flushPointer __asm__("__imp__FlushFileBuffers@4") = reinterpret_cast<void *>(flushFileBuffers);
void *setInformationPointer __asm__("__imp__SetFileInformationByHandle@16")
        = reinterpret_cast<void *>(setFileInformationByHandle);
void *deletePointer __asm__("__imp__DeleteFileW@4") = reinterpret_cast<void *>(deleteFile);
void *createProcessPointer __asm__("__imp__CreateProcessW@40") = reinterpret_cast<void *>(createProcess);
void *sleepPointer __asm__("__imp__Sleep@4") = reinterpret_cast<void *>(sleep);
void *getSecurityPointer __asm__("__imp__GetSecurityInfo@32") = reinterpret_cast<void *>(getSecurityInfo);
void *setSecurityPointer __asm__("__imp__SetSecurityInfo@28") = reinterpret_cast<void *>(setSecurityInfo);
}
