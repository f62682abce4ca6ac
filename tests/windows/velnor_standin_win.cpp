// Stands in for the main program under Windows. When VELNOR_STANDIN_RECORD
// names a file, it records there its command line, argument count, working
// directory, own path (UTF-8), the show state it was given and, when
// VELNOR_STANDIN_SETTINGS is set, the size and last line of the VELNOR.INI
// beside it as it found it; written whole through a rename so that a reader
// never sees half a record. A name ending in '\' is a folder that takes one
// record per process. When VELNOR_STANDIN_GO names a file, it first waits for
// that file, so that a test can see it outlive the launcher.
#include <windows.h>
#include <shellapi.h>

#include <string>

static std::wstring environmentVariable(const wchar_t *name)
{
    wchar_t value[4096];
    const DWORD size = GetEnvironmentVariableW(name, value, 4096);
    return size > 0 && size < 4096 ? std::wstring(value, size) : std::wstring();
}

static std::string utf8(const std::wstring &text)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(size_t(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), &bytes[0], size, nullptr, nullptr);
    return bytes;
}

// The size and the last line of the settings file beside this program.
static std::string settingsSeen(const std::wstring &self)
{
    const std::wstring path = self.substr(0, self.rfind(L'\\') + 1) + L"VELNOR.INI";
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return "none";
    std::string content;
    char chunk[65536];
    DWORD size = 0;
    while (ReadFile(file, chunk, sizeof chunk, &size, nullptr) && size > 0)
        content.append(chunk, size);
    CloseHandle(file);
    std::string body = content;
    while (!body.empty() && (body.back() == '\n' || body.back() == '\r'))
        body.pop_back();
    return std::to_string(content.size()) + " " + body.substr(body.find_last_of('\n') + 1);
}

int main()
{
    std::wstring record = environmentVariable(L"VELNOR_STANDIN_RECORD");
    if (record.empty())
        return 0;
    if (record.back() == L'\\')
        record += std::to_wstring(GetCurrentProcessId());
    const std::wstring go = environmentVariable(L"VELNOR_STANDIN_GO");
    for (int i = 0; !go.empty() && i < 3000 && GetFileAttributesW(go.c_str()) == INVALID_FILE_ATTRIBUTES; ++i)
        Sleep(10);

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    GetStartupInfoW(&startup);
    int argc = 0;
    LocalFree(CommandLineToArgvW(GetCommandLineW(), &argc));
    wchar_t cwd[MAX_PATH * 4];
    const DWORD cwdSize = GetCurrentDirectoryW(MAX_PATH * 4, cwd);
    wchar_t self[MAX_PATH * 4];
    const DWORD selfSize = GetModuleFileNameW(nullptr, self, MAX_PATH * 4);
    const std::string text = "arguments=" + std::to_string(argc - 1) + "\n"
            + "commandline=" + utf8(GetCommandLineW()) + "\n"
            + "cwd=" + utf8(std::wstring(cwd, cwdSize)) + "\n"
            + "self=" + utf8(std::wstring(self, selfSize)) + "\n"
            + "startflags=" + std::to_string(startup.dwFlags) + "\n"
            + "show=" + std::to_string(startup.wShowWindow) + "\n"
            + (environmentVariable(L"VELNOR_STANDIN_SETTINGS").empty()
                       ? std::string() : "settings=" + settingsSeen(std::wstring(self, selfSize)) + "\n");

    const std::wstring part = record + L".part";
    const HANDLE file = CreateFileW(part.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    DWORD written = 0;
    const bool ok = WriteFile(file, text.data(), DWORD(text.size()), &written, nullptr) && written == text.size();
    CloseHandle(file);
    return ok && MoveFileExW(part.c_str(), record.c_str(), MOVEFILE_REPLACE_EXISTING) ? 0 : 1;
}
