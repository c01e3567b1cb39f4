# Cross build for 64-bit Windows with MinGW-w64 (posix threads), against the
# Qt for MinGW that scripts/build-qt-mingw.sh makes. The Qt prefix is the
# cache entry QUILLPORT_QT_MINGW_PREFIX, else the environment variable of that
# name, else build-windows/qt-mingw beside the sources.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

if(NOT QUILLPORT_QT_MINGW_PREFIX)
    if(DEFINED ENV{QUILLPORT_QT_MINGW_PREFIX} AND NOT "$ENV{QUILLPORT_QT_MINGW_PREFIX}" STREQUAL "")
        set(QUILLPORT_QT_MINGW_PREFIX "$ENV{QUILLPORT_QT_MINGW_PREFIX}")
    else()
        get_filename_component(QUILLPORT_QT_MINGW_PREFIX "${CMAKE_CURRENT_LIST_DIR}/../build-windows/qt-mingw" ABSOLUTE)
    endif()
endif()
set(QUILLPORT_QT_MINGW_PREFIX "${QUILLPORT_QT_MINGW_PREFIX}" CACHE PATH "Qt 5 built for MinGW-w64")
# The compiler checks run this file again in a project of their own.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QUILLPORT_QT_MINGW_PREFIX)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 "${QUILLPORT_QT_MINGW_PREFIX}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The test programs of this build run under Wine (their tests name the Wine
# prefix).
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
