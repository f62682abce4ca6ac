/* The least any Windows launcher does: read the settings file beside it,
   start the main program by name without waiting and, built with
   -DALLOW_FOREGROUND, let it come to the front (which loads user32). */
#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR arguments, int show)
{
    (void)instance, (void)previous, (void)arguments, (void)show;
    wchar_t path[MAX_PATH + 16];
    const DWORD size = GetModuleFileNameW(NULL, path, MAX_PATH);
    if (size == 0 || size >= MAX_PATH)
        return 1;
    DWORD folder = size;
    while (folder > 0 && path[folder - 1] != L'\\')
        --folder;
    lstrcpyW(path + folder, L"VELNOR.INI");

    const HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    static char chunk[65536];
    DWORD read;
    while (ReadFile(file, chunk, sizeof chunk, &read, NULL) && read > 0) {
    }
    CloseHandle(file);

    wchar_t commandLine[] = L"velnor.exe";
    STARTUPINFOW startup = { sizeof startup };
    PROCESS_INFORMATION process;
    if (!CreateProcessW(NULL, commandLine, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process))
        return 1;
#ifdef ALLOW_FOREGROUND
    AllowSetForegroundWindow(process.dwProcessId);
#endif
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return 0;
}
