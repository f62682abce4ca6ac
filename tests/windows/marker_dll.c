/* A DLL of a system DLL's name, as someone might put one beside start.exe:
   it exports the functions start.exe once imported from that DLL (the def
   file that tests/windows/CMakeLists.txt writes maps each to a stub with as
   many bytes of arguments) and, when loaded, leaves
   "<its name>.loaded-by-<program>" beside itself: velnor.exe, started from
   the same folder, may load it without the launcher having done so. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved)
{
    (void)reserved;
    wchar_t path[2 * MAX_PATH + 16], program[MAX_PATH];
    const DWORD size = GetModuleFileNameW(module, path, MAX_PATH);
    const DWORD programSize = GetModuleFileNameW(NULL, program, MAX_PATH);
    if (reason != DLL_PROCESS_ATTACH || size == 0 || size >= MAX_PATH || programSize >= MAX_PATH)
        return TRUE;
    const wchar_t *name = program + programSize;
    while (name > program && name[-1] != L'\\')
        --name;
    lstrcpyW(path + size, L".loaded-by-");
    lstrcatW(path, name);
    const HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    return TRUE;
}

DWORD WINAPI stub4(DWORD a) { return a & 0; }
DWORD WINAPI stub8(DWORD a, DWORD b) { return a & b & 0; }
DWORD WINAPI stub12(DWORD a, DWORD b, DWORD c) { return a & b & c & 0; }
DWORD WINAPI stub16(DWORD a, DWORD b, DWORD c, DWORD d) { return a & b & c & d & 0; }
DWORD WINAPI stub20(DWORD a, DWORD b, DWORD c, DWORD d, DWORD e) { return a & b & c & d & e & 0; }
DWORD WINAPI stub28(DWORD a, DWORD b, DWORD c, DWORD d, DWORD e, DWORD f, DWORD g) { return a & b & c & d & e & f & g & 0; }
