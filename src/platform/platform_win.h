// What the Windows side's files share: wide strings, long paths, Qt's
// handles and a retry for files that another program holds.
#ifndef PLATFORM_WIN_H
#define PLATFORM_WIN_H

#include <QString>

#include <windows.h>

#include <string>

class QFileDevice;

namespace platform {

inline std::wstring wide(const QString &text)
{
    return std::wstring(reinterpret_cast<const wchar_t *>(text.utf16()), size_t(text.size()));
}

// The program's own file, as the system loaded it.
std::wstring ownFileName();

// The first argument of a command line, split exactly as CommandLineToArgvW
// (and Qt's WinMain shim with it) splits it: a leading quote runs to the next
// quote, anything else to the first space or tab; an empty command line
// stands for the program's own path.
std::wstring firstArgument(const wchar_t *commandLine);

// The full path with the \\?\ prefix, so that no call stops at MAX_PATH.
std::wstring longPath(const QString &fileName);

// The HANDLE behind Qt's C runtime descriptor, or INVALID_HANDLE_VALUE.
HANDLE nativeHandle(const QFileDevice &file);

// Whether a failed file operation may pass when tried again: what another
// program holding the file open causes (a running velnor.exe, a virus
// scanner, the search indexer, a sync client, a second launcher), or a file
// on its way out. A denial by the file's rights is final.
bool mayPass(DWORD error);

// Runs a file operation until it succeeds, fails for another reason than
// one that passes, or about a second has passed. The last error stays the
// operation's own.
template <typename Operation, typename Passes = bool (*)(DWORD)>
bool retried(Operation operation, Passes passes = mayPass)
{
    static const DWORD pauses[] = { 10, 40, 100, 200, 300, 350 };
    for (const DWORD pause : pauses) {
        if (operation())
            return true;
        const DWORD error = GetLastError();
        if (!passes(error))
            return false;
        Sleep(pause);
        SetLastError(error);
    }
    return operation();
}

} // namespace platform

#endif // PLATFORM_WIN_H
