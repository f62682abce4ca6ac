// The Windows process's own setup, its own path, and the helpers the Windows
// side shares.
#include "path_forms.h"
#include "platform.h"
#include "platform_win.h"
#include "windows1251_codec.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileDevice>
#include <QTextCodec>

#include <io.h>

#include <cwchar>

namespace {

// QCoreApplication's constructor reads the program's version resource through
// version.dll unless a version was set before: set here, ahead of main(), so
// that no start loads that DLL for a version nothing asks for.
const bool versionSet = (QCoreApplication::setApplicationVersion(QStringLiteral(LAUNCHER_VERSION)), true);

// A system DLL that loads another by name (user32 loads imm32, the shell
// loads many) would look in the program's folder first, where anyone may
// have put a DLL of that name: from here on every load by name looks in the
// system folder alone. Windows 7 has the call only with KB2533623; without
// it the delay-load hook's full paths still cover start.exe's own imports.
const bool systemFolderOnly = [] {
    using SetDirectories = BOOL(WINAPI *)(DWORD);
    const auto set = reinterpret_cast<SetDirectories>(reinterpret_cast<void *>(
            GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
    return set && set(LOAD_LIBRARY_SEARCH_SYSTEM32);
}();

// Looked up before any call can fail, so that asking it never changes what
// it answers.
using LastStatus = LONG(WINAPI *)();
const auto lastStatus = reinterpret_cast<LastStatus>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetLastNtStatus")));

} // namespace

namespace platform {

std::wstring longPath(const QString &fileName)
{
    // The system resolves "." and ".." first, as it would without the prefix.
    const std::wstring name = wide(QDir::toNativeSeparators(fileName));
    const std::wstring full = grownToFit([&name](wchar_t *buffer, DWORD size) {
        return GetFullPathNameW(name.c_str(), size, buffer, nullptr);
    });
    return wide(pathforms::withPrefix(fromWide(full)));
}

std::wstring finalPath(HANDLE handle)
{
    return grownToFit([handle](wchar_t *buffer, DWORD size) {
        return GetFinalPathNameByHandleW(handle, buffer, size, FILE_NAME_NORMALIZED);
    });
}

HANDLE nativeHandle(const QFileDevice &file)
{
    // Qt hands out a C runtime descriptor for the HANDLE it opened.
    const int descriptor = file.handle();
    return descriptor < 0 ? INVALID_HANDLE_VALUE : HANDLE(_get_osfhandle(descriptor));
}

bool isInUseError(DWORD error)
{
    // Windows refuses a file whose deletion is pending with the same error
    // as a denial by its rights; the system's own status for the failed call
    // tells them apart. That file goes once its last handle closes.
    constexpr LONG deletePending = LONG(0xC0000056); // STATUS_DELETE_PENDING
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION
            || (error == ERROR_ACCESS_DENIED && lastStatus && lastStatus() == deletePending);
}

PathRules pathRules()
{
    return PathRules::Windows;
}

Qt::CaseSensitivity fileNameCase()
{
    return Qt::CaseInsensitive;
}

void prepareProcess()
{
    // The main program's settings are Windows-1251, whatever the system's
    // own code page.
    if (QTextCodec *codec = windows1251Codec())
        QTextCodec::setCodecForLocale(codec);
}

std::wstring ownFileName()
{
    return grownToFit([](wchar_t *buffer, DWORD size) { return GetModuleFileNameW(nullptr, buffer, size); });
}

std::wstring firstArgument(const wchar_t *commandLine)
{
    if (!*commandLine)
        return ownFileName();
    // Unlike the other arguments, the first knows no backslash escapes.
    if (*commandLine == L'"') {
        const wchar_t *begin = commandLine + 1;
        const wchar_t *end = std::wcschr(begin, L'"');
        return end ? std::wstring(begin, end) : std::wstring(begin);
    }
    return std::wstring(commandLine, std::wcscspn(commandLine, L" \t"));
}

QString ownPath(int, char *[])
{
    // main()'s argv is in the system's code page, which loses every
    // character that page lacks; the Unicode command line keeps them.
    const std::wstring path = firstArgument(GetCommandLineW());
    return QString::fromWCharArray(path.data(), int(path.size()));
}

} // namespace platform
