#include "platform.h"
#include "text_encoding.h"

#include <QDir>
#include <QFile>
#include <QFileDevice>
#include <QRandomGenerator>
#include <QString>
#include <QTextCodec>

#include <windows.h>
#include <io.h>
#include <objbase.h>
#include <shellapi.h>

#include <string>

namespace {

// ERROR_ELEVATION_REQUIRED, which MinGW's headers lack.
constexpr DWORD elevationRequired = 740;

std::wstring wide(const QString &text)
{
    return std::wstring(reinterpret_cast<const wchar_t *>(text.utf16()), size_t(text.size()));
}

// The full path with the \\?\ prefix, so that no call below stops at
// MAX_PATH; the system resolves "." and ".." first, as it would without it.
std::wstring longPath(const QString &fileName)
{
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

// What another program holding the file open causes: a running velnor.exe,
// a virus scanner, the search indexer, a sync client, a second launcher.
// ReplaceFileW's first two partial failures leave both files where they
// were (a backup name is always given), so they may be tried again too.
bool mayPass(DWORD error)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION || error == ERROR_ACCESS_DENIED
            || error == ERROR_UNABLE_TO_REMOVE_REPLACED || error == ERROR_UNABLE_TO_MOVE_REPLACEMENT;
}

// Runs a file operation until it succeeds, fails for another reason, or
// about a second has passed. The last error stays the operation's own.
template <typename Operation>
bool retried(Operation operation)
{
    static const DWORD pauses[] = { 10, 40, 100, 200, 300, 350 };
    for (const DWORD pause : pauses) {
        if (operation())
            return true;
        const DWORD error = GetLastError();
        if (!mayPass(error))
            return false;
        Sleep(pause);
        SetLastError(error);
    }
    return operation();
}

// Qt hands out a C runtime descriptor for the HANDLE it opened.
HANDLE nativeHandle(const QFileDevice &file)
{
    const int descriptor = file.handle();
    return descriptor < 0 ? INVALID_HANDLE_VALUE : HANDLE(_get_osfhandle(descriptor));
}

qint64 combined(DWORD high, DWORD low)
{
    return qint64((quint64(high) << 32) | low);
}

platform::FileStamp stampOfHandle(HANDLE handle)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &info))
        return platform::FileStamp();
    platform::FileStamp stamp;
    stamp.volume = info.dwVolumeSerialNumber;
    stamp.index = quint64(combined(info.nFileIndexHigh, info.nFileIndexLow));
    stamp.size = combined(info.nFileSizeHigh, info.nFileSizeLow);
    stamp.modified = combined(info.ftLastWriteTime.dwHighDateTime, info.ftLastWriteTime.dwLowDateTime);
    return stamp;
}

std::wstring currentDirectory()
{
    std::wstring current(32768, L'\0');
    current.resize(GetCurrentDirectoryW(DWORD(current.size()), &current[0]));
    return current;
}

// The program that the system's search finds for a start by name: in the
// launcher's own folder, the working directory, then the system folders and
// PATH, the order CreateProcessW itself follows.
std::wstring resolvedProgram(const std::wstring &name)
{
    std::wstring self(32768, L'\0');
    self.resize(GetModuleFileNameW(nullptr, &self[0], DWORD(self.size())));
    const std::wstring folders[] = { self.substr(0, self.rfind(L'\\') + 1), currentDirectory() };
    std::wstring found(32768, L'\0');
    for (const std::wstring &folder : folders) {
        const DWORD size = SearchPathW(folder.c_str(), name.c_str(), nullptr, DWORD(found.size()), &found[0], nullptr);
        if (size > 0 && size < found.size())
            return found.substr(0, size);
    }
    const DWORD size = SearchPathW(nullptr, name.c_str(), nullptr, DWORD(found.size()), &found[0], nullptr);
    return size > 0 && size < found.size() ? found.substr(0, size) : std::wstring();
}

// A program whose manifest asks for administrator rights starts only
// through the shell, which shows the consent prompt.
bool startElevated(const std::wstring &name, int showState)
{
    const std::wstring program = resolvedProgram(name);
    if (program.empty())
        return false;
    const std::wstring current = currentDirectory();
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

FileStamp stampOf(const QFileDevice &openFile)
{
    return stampOfHandle(nativeHandle(openFile));
}

FileStamp stampOf(const QString &fileName)
{
    // Attributes only: no other program's sharing mode stands in the way.
    const HANDLE handle = CreateFileW(longPath(fileName).c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    const FileStamp stamp = stampOfHandle(handle);
    if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
    return stamp;
}

// The new content goes to a temporary file beside the settings file, and
// ReplaceFileW puts it in place: unlike a rename, it gives the new file the
// old one's access rights, attributes, creation time and streams. The old
// file moves to a backup name first, so that whatever step fails, the file
// can be put back whole.
struct Replacement::Private
{
    QString fileName;
    QFile file;
    std::wstring temporary;
    bool committed = false;
};

Replacement::Replacement(const QString &fileName) : d(new Private)
{
    d->fileName = fileName;
}

Replacement::~Replacement()
{
    d->file.close();
    if (!d->committed && !d->temporary.empty())
        retried([this] { return DeleteFileW(d->temporary.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND; });
}

bool Replacement::open()
{
    // A name no other file has, created only if it doesn't exist yet. Qt's
    // QTemporaryFile won't do: it keeps its handle open until destroyed, and
    // ReplaceFileW needs the file closed.
    for (int attempt = 0; attempt < 8; ++attempt) {
        const quint32 random = QRandomGenerator::system()->generate();
        d->file.setFileName(d->fileName + QLatin1Char('.') + QString::number(random, 36));
        if (d->file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
            d->temporary = longPath(d->file.fileName());
            return true;
        }
        if (!d->file.exists())
            return false; // not a name taken: the folder takes no new file
    }
    return false;
}

QFileDevice &Replacement::device()
{
    return d->file;
}

bool Replacement::prepare(const QFileDevice &original)
{
    // ReplaceFileW opens the new file without sharing: close it first.
    const bool written = d->file.flush() && FlushFileBuffers(nativeHandle(d->file));
    d->file.close();
    if (!written || d->file.error() != QFileDevice::NoError)
        return false;
    // ReplaceFileW carries the attributes over too, but not every
    // implementation of it does (Wine's doesn't): a hidden file stays hidden.
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(nativeHandle(original), &info))
        return false;
    const DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE
            | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    const DWORD wanted = info.dwFileAttributes & kept;
    return wanted == FILE_ATTRIBUTE_ARCHIVE // what a new file has anyway
            || SetFileAttributesW(d->temporary.c_str(), wanted ? wanted : FILE_ATTRIBUTE_NORMAL);
}

bool Replacement::commit()
{
    const std::wstring replaced = longPath(d->fileName);
    const std::wstring backup = d->temporary + L"~";
    if (retried([&] { return ReplaceFileW(replaced.c_str(), d->temporary.c_str(), backup.c_str(), 0, nullptr, nullptr); })) {
        d->committed = true;
        retried([&] { return DeleteFileW(backup.c_str()); });
        return true;
    }
    if (GetLastError() != ERROR_UNABLE_TO_MOVE_REPLACEMENT_2)
        return false; // both files kept their names
    // The old file went to the backup name, the new one couldn't follow:
    // put the old one back, or failing that the new one in its place.
    if (retried([&] { return MoveFileExW(backup.c_str(), replaced.c_str(), 0); }))
        return false;
    if (retried([&] { return MoveFileExW(d->temporary.c_str(), replaced.c_str(), 0); })) {
        d->committed = true;
        retried([&] { return DeleteFileW(backup.c_str()); });
        return true;
    }
    // Neither moved: the old content stays under the backup name, never removed.
    return false;
}

} // namespace platform
