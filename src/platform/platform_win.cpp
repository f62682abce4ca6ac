// The Windows process's own setup and the helpers the Windows side shares.
#include "platform.h"
#include "platform_win.h"
#include "text_encoding.h"

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

} // namespace

namespace platform {

std::wstring longPath(const QString &fileName)
{
    // The system resolves "." and ".." first, as it would without the prefix.
    const std::wstring name = wide(QDir::toNativeSeparators(fileName));
    std::wstring full(MAX_PATH, L'\0');
    DWORD size = GetFullPathNameW(name.c_str(), DWORD(full.size()), &full[0], nullptr);
    if (size >= full.size()) {
        full.resize(size);
        size = GetFullPathNameW(name.c_str(), DWORD(full.size()), &full[0], nullptr);
    }
    full.resize(size < full.size() ? size : 0);
    if (full.compare(0, 4, L"\\\\?\\") == 0 || full.compare(0, 4, L"\\\\.\\") == 0)
        return full;
    if (full.compare(0, 2, L"\\\\") == 0)
        return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

HANDLE nativeHandle(const QFileDevice &file)
{
    // Qt hands out a C runtime descriptor for the HANDLE it opened.
    const int descriptor = file.handle();
    return descriptor < 0 ? INVALID_HANDLE_VALUE : HANDLE(_get_osfhandle(descriptor));
}

bool mayPass(DWORD error)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION || error == ERROR_ACCESS_DENIED;
}

PathRules pathRules()
{
    return PathRules::Windows;
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
    std::wstring self(MAX_PATH, L'\0');
    DWORD size;
    while ((size = GetModuleFileNameW(nullptr, &self[0], DWORD(self.size()))) == self.size())
        self.resize(self.size() * 2);
    self.resize(size);
    return self;
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
