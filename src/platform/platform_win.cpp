// The Windows process's own setup and the helpers the Windows side shares.
#include "platform.h"
#include "platform_win.h"
#include "text_encoding.h"

#include <QDir>
#include <QFileDevice>
#include <QTextCodec>

#include <io.h>
#include <shellapi.h>

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

QString ownPath(int, char *[])
{
    // Qt's entry shim hands main() the command line in the system's code
    // page, which loses every character that page lacks; the Unicode command
    // line, split as the shim splits it, keeps them.
    int count = 0;
    wchar_t **arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    const QString path = arguments && count > 0 ? QString::fromWCharArray(arguments[0]) : QString();
    LocalFree(arguments);
    return path;
}

} // namespace platform
