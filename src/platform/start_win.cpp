// Starting the main program on Windows: its own show state, no inherited
// handles, and the shell's consent prompt where it needs administrator rights.
#include "path_forms.h"
#include "platform.h"
#include "platform_win.h"

#include <objbase.h>
#include <shellapi.h>
#include <winnetwk.h>

#include <vector>

namespace {

// ERROR_ELEVATION_REQUIRED, which MinGW's headers lack.
constexpr DWORD elevationRequired = 740;

std::wstring currentDirectory()
{
    return platform::grownToFit([](wchar_t *buffer, DWORD size) { return GetCurrentDirectoryW(size, buffer); });
}

// The program that the system's search finds for a start by name: in the
// launcher's own folder, the working directory, then the system folders and
// PATH, the order CreateProcessW itself follows. The first two are looked at
// directly: SearchPathW would read a ';' in their names as a separator.
std::wstring resolvedProgram(const std::wstring &name)
{
    const std::wstring self = platform::ownFileName();
    const std::wstring folders[] = { self.substr(0, self.rfind(L'\\') + 1), currentDirectory() };
    for (const std::wstring &folder : folders) {
        const std::wstring candidate = folder + (folder.empty() || folder.back() == L'\\' ? L"" : L"\\") + name;
        const DWORD attributes = GetFileAttributesW(platform::longPath(platform::fromWide(candidate)).c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY))
            return candidate;
    }
    return platform::grownToFit([&name](wchar_t *buffer, DWORD size) {
        return SearchPathW(nullptr, name.c_str(), nullptr, size, buffer, nullptr);
    });
}

// The path as another logon session can reach it. The elevated program runs
// in the administrator's session, which sees none of the user's mapped
// network drives: M:\Tools\ becomes \\server\share\Tools\. mpr.dll loads only
// here.
std::wstring reachableFromAnySession(const std::wstring &path)
{
    const std::wstring plain = platform::wide(pathforms::withoutPrefix(platform::fromWide(path)));
    std::vector<char> buffer(sizeof(UNIVERSAL_NAME_INFOW) + (plain.size() + 1) * sizeof(wchar_t));
    for (int attempt = 0; attempt < 2; ++attempt) {
        DWORD size = DWORD(buffer.size());
        const DWORD result = WNetGetUniversalNameW(plain.c_str(), UNIVERSAL_NAME_INFO_LEVEL, buffer.data(), &size);
        if (result == NO_ERROR)
            return reinterpret_cast<const UNIVERSAL_NAME_INFOW *>(buffer.data())->lpUniversalName;
        if (result != ERROR_MORE_DATA)
            break;
        buffer.resize(size);
    }
    return plain; // a local drive (ERROR_NOT_CONNECTED), or no network to ask
}

// A program whose manifest asks for administrator rights starts only
// through the shell, which shows the consent prompt.
bool startElevated(const std::wstring &name, int showState)
{
    const std::wstring found = resolvedProgram(name);
    if (found.empty())
        return false;
    const std::wstring program = reachableFromAnySession(found);
    const std::wstring current = reachableFromAnySession(currentDirectory());
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof info;
    // The launcher ends right after: the shell must finish starting first.
    info.fMask = SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
    info.lpVerb = L"runas";
    info.lpFile = program.c_str();
    info.lpDirectory = current.c_str(); // an elevated start would begin in the system folder
    info.nShow = showState;
    return ShellExecuteExW(&info);
}

} // namespace

namespace platform {

bool startDetached(const QString &programName)
{
    // A shortcut's "Run: Minimized" or "Maximized" reaches the launcher as its
    // show state; velnor.exe gets the same. No handles are inherited, and a
    // console program gets its console.
    STARTUPINFOW own = {};
    own.cb = sizeof own;
    GetStartupInfoW(&own);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    if (own.dwFlags & STARTF_USESHOWWINDOW) {
        startup.dwFlags = STARTF_USESHOWWINDOW;
        startup.wShowWindow = own.wShowWindow;
    }
    const std::wstring name = wide(programName);
    std::wstring commandLine = name; // CreateProcessW may write into it
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        return GetLastError() == elevationRequired
                && startElevated(name, startup.dwFlags & STARTF_USESHOWWINDOW ? startup.wShowWindow : SW_SHOWNORMAL);
    }
    // The user started the launcher to see velnor.exe: it may come to the front.
    AllowSetForegroundWindow(process.dwProcessId);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

} // namespace platform
