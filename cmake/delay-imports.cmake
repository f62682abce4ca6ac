# Delay-import libraries for the Windows build. start.exe's import table
# names only kernel32 and msvcrt, KnownDLLs, which Windows takes from its own
# folder whatever lies beside the program. Every other system DLL that QtCore
# or the launcher calls is loaded on its first call instead, from the system
# folder only (src/platform/delayload_win.cpp): a DLL that isn't a KnownDLL is
# looked for in the program's folder first. advapi32 is a KnownDLL too, but a
# start that changes nothing never calls it, so it is left until then too.
#
# For each such DLL a delay-import library is made from mingw-w64's import
# library, with the same name, into a folder that every link searches first,
# and it replaces the import library in QtCore's link interface.

if(CMAKE_VERSION VERSION_LESS 3.21)
    message(FATAL_ERROR "The Windows build needs CMake 3.21 or later (find_library NO_CACHE)")
endif()

set(LAUNCHER_DELAYED_DLLS
    advapi32 user32 gdi32 winspool comdlg32 shell32 ole32 oleaut32 ws2_32 winmm version netapi32 userenv mpr)
set(LAUNCHER_DELAY_IMPORTS ${CMAKE_BINARY_DIR}/import-libraries)
file(MAKE_DIRECTORY ${LAUNCHER_DELAY_IMPORTS})
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_FILE})

foreach(dll IN LISTS LAUNCHER_DELAYED_DLLS)
    find_library(LAUNCHER_IMPORT_LIBRARY_${dll} NAMES lib${dll}.a REQUIRED NO_CACHE)
    set(import_library ${LAUNCHER_IMPORT_LIBRARY_${dll}})
    set(delay_library ${LAUNCHER_DELAY_IMPORTS}/lib${dll}.a)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${import_library})
    if(EXISTS ${delay_library} AND NOT "${import_library}" IS_NEWER_THAN "${delay_library}"
            AND NOT "${CMAKE_CURRENT_LIST_FILE}" IS_NEWER_THAN "${delay_library}")
        continue()
    endif()

    # The functions the import library names, with their stdcall decoration
    # (@ and the bytes of arguments) so that the stubs match the callers; the
    # DLL exports them undecorated (--kill-at). Data has no stub and stays out.
    execute_process(COMMAND ${CMAKE_NM} -g ${import_library}
        OUTPUT_VARIABLE symbols COMMAND_ERROR_IS_FATAL ANY)
    string(REGEX MATCHALL " I __imp__[A-Za-z0-9_]+(@[0-9]+)?\n" imports "${symbols}")
    set(definitions "LIBRARY ${dll}.dll\nEXPORTS\n")
    foreach(import IN LISTS imports)
        string(REGEX REPLACE "^ I __imp__|\n$" "" name "${import}")
        string(FIND "${symbols}" " T _${name}\n" code)
        if(code GREATER -1)
            string(APPEND definitions "${name}\n")
        endif()
    endforeach()
    file(WRITE ${LAUNCHER_DELAY_IMPORTS}/${dll}.def "${definitions}")

    # Run in the folder with relative names: dlltool names its symbols and
    # temporary files after them, and no build path may reach start.exe.
    execute_process(COMMAND ${CMAKE_DLLTOOL} --kill-at --input-def ${dll}.def --dllname ${dll}.dll
            --output-delaylib lib${dll}.a.part --temp-prefix ${dll}-delay
        WORKING_DIRECTORY ${LAUNCHER_DELAY_IMPORTS} COMMAND_ERROR_IS_FATAL ANY)
    # GNU ld drops an import stub's code when nothing calls the stub by name,
    # as for calls through a __declspec(dllimport) pointer (__imp_...), which
    # Windows' headers declare for most functions. In a delay-import library
    # that code is what loads the DLL and the pointer starts out aiming at it,
    # so dropping it leaves a call to address 0 (binutils bug 14339). Marked
    # as data, the code is no longer taken for a stub; the name .text$dl keeps
    # it among the program's code.
    execute_process(COMMAND ${CMAKE_OBJCOPY}
            --rename-section .text=.text$dl,contents,alloc,load,readonly,data
            lib${dll}.a.part lib${dll}.a
        WORKING_DIRECTORY ${LAUNCHER_DELAY_IMPORTS} COMMAND_ERROR_IS_FATAL ANY)
    file(REMOVE ${LAUNCHER_DELAY_IMPORTS}/lib${dll}.a.part)
endforeach()

# The import libraries of what start.exe does import lie in the same folder:
# ld orders the import tables by the paths of the libraries they come from,
# and with one folder for all, that order is the same in any build folder.
set(LAUNCHER_IMPORTED_DLLS kernel32 msvcrt moldname)
foreach(library IN LISTS LAUNCHER_IMPORTED_DLLS)
    find_library(LAUNCHER_IMPORT_LIBRARY_${library} NAMES lib${library}.a REQUIRED NO_CACHE)
    file(COPY ${LAUNCHER_IMPORT_LIBRARY_${library}} DESTINATION ${LAUNCHER_DELAY_IMPORTS})
endforeach()

# -luser32 and the like (CMake's standard libraries, GCC's own) find these
# first; QtCore names the others by their full path, replaced by the same
# -l, so that each library is linked under one name.
add_link_options(-L${LAUNCHER_DELAY_IMPORTS})
get_target_property(qt_link_interface Qt5::Core INTERFACE_LINK_LIBRARIES)
foreach(dll IN LISTS LAUNCHER_DELAYED_DLLS LAUNCHER_IMPORTED_DLLS)
    string(REGEX REPLACE "[^;<>:]*/lib${dll}\\.a" "-l${dll}" qt_link_interface "${qt_link_interface}")
endforeach()
set_target_properties(Qt5::Core PROPERTIES INTERFACE_LINK_LIBRARIES "${qt_link_interface}")
