// Where start.exe's delay-loaded DLLs come from: the system folder, never its own.
#include <windows.h>
#include <delayimp.h>

#include <cstring>

namespace {

// The DLLs start.exe delays (cmake/delay-imports.cmake) aren't KnownDLLs, so
// a load by name would look in the program's folder first, and a DLL of that
// name copied there would run its code in the launcher. The full path leaves
// the loader no choice, and the DLL's own dependencies come from the system
// folder too, not from the program's.
FARPROC WINAPI loadFromSystemFolder(unsigned notification, PDelayLoadInfo info)
{
    if (notification != dliNotePreLoadLibrary)
        return nullptr;
    wchar_t path[MAX_PATH + 64];
    const UINT folder = GetSystemDirectoryW(path, MAX_PATH);
    const size_t name = std::strlen(info->szDll);
    HMODULE module = nullptr;
    if (folder > 0 && folder < MAX_PATH && name < 62) {
        path[folder] = L'\\';
        for (size_t i = 0; i <= name; ++i)
            path[folder + 1 + i] = wchar_t(static_cast<unsigned char>(info->szDll[i]));
        // Its own dependencies from the system folder too; Windows 7 without
        // KB2533623 knows only the older flag, which looks beside the DLL.
        module = LoadLibraryExW(path, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        if (!module && GetLastError() == ERROR_INVALID_PARAMETER)
            module = LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    }
    if (!module) {
        // Returning nothing would let the helper load the DLL by name: fail
        // the way a delay-loaded DLL that can't be found fails.
        ULONG_PTR argument = ULONG_PTR(info);
        RaiseException(VcppException(ERROR_SEVERITY_ERROR, ERROR_MOD_NOT_FOUND), 0, 1, &argument);
    }
    return FARPROC(module);
}

} // namespace

// mingw-w64's __delayLoadHelper2 asks this hook before it loads a DLL itself
// (delayimp.h declares it extern "C").
PfnDliHook __pfnDliNotifyHook2 = loadFromSystemFolder;
