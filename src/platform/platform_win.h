// What the Windows side's files share: wide strings, owned handles, long
// paths, calls whose buffer grows to fit, and the wait for a held file.
#ifndef PLATFORM_WIN_H
#define PLATFORM_WIN_H

#include "launcher_numbers.h"

#include <QString>

#include <windows.h>

#include <algorithm>
#include <string>

class QFileDevice;

namespace platform {

inline std::wstring wide(const QString &text)
{
    return std::wstring(reinterpret_cast<const wchar_t *>(text.utf16()), size_t(text.size()));
}

inline QString fromWide(const std::wstring &text)
{
    return QString::fromWCharArray(text.data(), int(text.size()));
}

// A handle that closes when its owner goes.
class Handle
{
public:
    Handle() = default;
    explicit Handle(HANDLE handle) : m_handle(handle) { }
    Handle(Handle &&other) noexcept : m_handle(other.release()) { }
    Handle &operator=(Handle &&other) noexcept
    {
        reset(other.release());
        return *this;
    }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    ~Handle() { reset(); }

    bool isValid() const { return m_handle != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return m_handle; }
    HANDLE release()
    {
        const HANDLE handle = m_handle;
        m_handle = INVALID_HANDLE_VALUE;
        return handle;
    }
    void reset(HANDLE handle = INVALID_HANDLE_VALUE)
    {
        if (isValid())
            CloseHandle(m_handle);
        m_handle = handle;
    }

private:
    HANDLE m_handle = INVALID_HANDLE_VALUE;
};

// The text that call(buffer, size) writes, asked again with more room for
// as long as its result says the buffer was too small: the size it needs
// (GetFullPathNameW, GetFinalPathNameByHandleW) or all of it
// (GetModuleFileNameW). Empty where the call fails.
template <typename Call>
std::wstring grownToFit(Call call)
{
    std::wstring text(MAX_PATH, L'\0');
    for (;;) {
        const DWORD size = call(&text[0], DWORD(text.size()));
        if (size < text.size()) {
            text.resize(size);
            return text;
        }
        if (text.size() > 0x10000) // longer than any path can be
            return std::wstring();
        text.resize(std::max<size_t>(size, text.size() * 2));
    }
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

// The long path of the file an open handle stands for (where a symbolic
// link leads), as the system names it: on a share or a mapped network drive
// \\?\UNC\server\share\.... Empty where the system can't tell.
std::wstring finalPath(HANDLE handle);

// The HANDLE behind Qt's C runtime descriptor, or INVALID_HANDLE_VALUE.
HANDLE nativeHandle(const QFileDevice &file);

// Removes a new file of the launcher's own: marked through its handle, so
// that it goes when close() closes that handle, or where it can't be marked,
// by its name once closed (the handle shares no deletion).
template <typename Close>
void discard(HANDLE file, const std::wstring &name, Close close)
{
    FILE_DISPOSITION_INFO remove = { TRUE };
    const bool marked = SetFileInformationByHandle(file, FileDispositionInfo, &remove, sizeof remove);
    close();
    if (!marked)
        DeleteFileW(name.c_str());
}

// Whether a failed file operation may pass when tried again: what another
// program holding the file open causes (a running velnor.exe, a virus
// scanner, the search indexer, a sync client, a second launcher), or a file
// on its way out. A denial by the file's rights is final.
bool isInUseError(DWORD error);

// Runs a file operation until it succeeds, fails for another reason than
// one that passes, or its pauses (launcher_numbers.h) run out. Attempts
// that take long themselves (a file read again, a call waiting for an
// oplock break) end the whole wait at its bound. The last error stays the
// operation's.
template <typename Operation, typename Passes = bool (*)(DWORD)>
bool retryWhileInUse(Operation operation, Passes passes = isInUseError)
{
    const ULONGLONG began = GetTickCount64();
    for (const DWORD pause : numbers::waitPausesMs) {
        if (operation())
            return true;
        const DWORD error = GetLastError();
        if (!passes(error) || GetTickCount64() - began + pause > numbers::waitBoundMs) {
            SetLastError(error);
            return false;
        }
        Sleep(pause);
        SetLastError(error);
    }
    return operation();
}

} // namespace platform

#endif // PLATFORM_WIN_H
