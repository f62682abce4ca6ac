// Starts launchers under Wine the way the tests need and Wine's own command
// line can't: with a show state, several at the same moment, or while a file
// is held open the way another program would hold it.
//
//   wine_helper start COUNT SHOW COMMANDLINE
//       starts COUNT processes of COMMANDLINE at once, with SHOW as the
//       wShowWindow of their STARTUPINFO ("-": none given), waits for all
//       and exits with the highest exit status.
//   wine_helper hold SHARING FILE MILLISECONDS THEIRS COMMANDLINE
//       opens FILE for reading and writing, sharing reading and writing
//       ("rw", as an editor or a running velnor.exe might, without delete
//       sharing) or nothing ("none"), starts COMMANDLINE, after MILLISECONDS
//       (or when the process ends) writes the bytes of the file THEIRS over
//       FILE in place ("-": nothing) and closes it, and prints how long the
//       process ran.
//   wine_helper info FILE
//       prints FILE's attributes and its DACL (in SDDL, with the protection
//       flag) as the system reports them.
#include <windows.h>
#include <sddl.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

static HANDLE startProcess(const std::wstring &commandLine, int show)
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    if (show >= 0) {
        startup.dwFlags = STARTF_USESHOWWINDOW;
        startup.wShowWindow = WORD(show);
    }
    std::wstring line = commandLine;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return nullptr;
    CloseHandle(process.hThread);
    return process.hProcess;
}

static DWORD exitStatus(HANDLE process)
{
    DWORD status = 255;
    WaitForSingleObject(process, INFINITE);
    GetExitCodeProcess(process, &status);
    CloseHandle(process);
    return status;
}

static int printInfo(const wchar_t *file)
{
    DWORD size = 0;
    GetFileSecurityW(file, DACL_SECURITY_INFORMATION, nullptr, 0, &size);
    std::vector<char> descriptor(size ? size : 1);
    wchar_t *dacl = nullptr;
    if (!GetFileSecurityW(file, DACL_SECURITY_INFORMATION, descriptor.data(), size, &size)
        || !ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor.data(), SDDL_REVISION_1,
                                                                 DACL_SECURITY_INFORMATION, &dacl, nullptr))
        return 251;
    std::printf("attributes=0x%lx\ndacl=%ls\n", GetFileAttributesW(file), dacl);
    LocalFree(dacl);
    return 0;
}

int main()
{
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argc == 3 && std::wstring(argv[1]) == L"info")
        return printInfo(argv[2]);
    if (argc < 5)
        return 254;
    const std::wstring mode = argv[1];
    if (mode == L"start") {
        const int count = _wtoi(argv[2]);
        const int show = std::wstring(argv[3]) == L"-" ? -1 : _wtoi(argv[3]);
        std::vector<HANDLE> processes;
        for (int i = 0; i < count; ++i) {
            if (HANDLE process = startProcess(argv[4], show))
                processes.push_back(process);
        }
        DWORD highest = processes.size() == size_t(count) ? 0 : 253;
        for (HANDLE process : processes)
            highest = std::max(highest, exitStatus(process));
        return int(highest);
    }
    if (mode == L"hold" && argc == 7) {
        const DWORD sharing = std::wstring(argv[2]) == L"rw" ? FILE_SHARE_READ | FILE_SHARE_WRITE : 0;
        const HANDLE file = CreateFileW(argv[3], GENERIC_READ | GENERIC_WRITE, sharing, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return 252;
        const DWORD began = GetTickCount();
        HANDLE process = startProcess(argv[6], -1);
        if (!process)
            return 253;
        WaitForSingleObject(process, DWORD(_wtoi(argv[4])));
        if (std::wstring(argv[5]) != L"-") {
            const HANDLE theirs = CreateFileW(argv[5], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
            char bytes[65536];
            DWORD size = 0, written = 0;
            if (theirs == INVALID_HANDLE_VALUE || !ReadFile(theirs, bytes, sizeof bytes, &size, nullptr)
                || !WriteFile(file, bytes, size, &written, nullptr) || !SetEndOfFile(file) || written != size)
                return 250;
            CloseHandle(theirs);
        }
        CloseHandle(file);
        const DWORD status = exitStatus(process);
        std::printf("ran=%lu\n", GetTickCount() - began);
        return int(status);
    }
    return 254;
}
