// Splits command lines as start.exe takes its own path from one, and as
// CommandLineToArgvW does, for a test to compare:
//   command_line_probe HEX...
// Each argument is a command line in UTF-16LE as hexadecimal ("-": the empty
// one); for each the probe prints both first arguments the same way.
#include "platform_win.h"

#include <shellapi.h>

#include <cstdio>
#include <string>

static std::wstring fromHex(const std::wstring &hex)
{
    std::wstring text;
    for (size_t i = 0; i + 4 <= hex.size(); i += 4)
        text += wchar_t(std::stoul(hex.substr(i + 2, 2) + hex.substr(i, 2), nullptr, 16));
    return text;
}

static void printHex(const std::wstring &text, const char *end)
{
    for (const wchar_t unit : text)
        std::printf("%02x%02x", unsigned(unit) & 0xff, unsigned(unit) >> 8);
    std::printf("%s", end);
}

int main()
{
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    for (int i = 1; i < argc; ++i) {
        const std::wstring line = std::wstring(argv[i]) == L"-" ? std::wstring() : fromHex(argv[i]);
        int count = 0;
        wchar_t **theirs = CommandLineToArgvW(line.c_str(), &count);
        printHex(platform::firstArgument(line.c_str()), " ");
        printHex(theirs && count > 0 ? theirs[0] : L"", "\n");
        LocalFree(theirs);
    }
    LocalFree(argv);
    return 0;
}
