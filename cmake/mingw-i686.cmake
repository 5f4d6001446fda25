# Cross build for 32-bit Windows with the MinGW-w64 i686 compiler, in its
# posix thread flavour (GoogleTest needs std::mutex).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(VEMBLARIC_WIDL i686-w64-mingw32-widl CACHE STRING "interface compiler")

# How this build's programs run under Wine: a 32-bit prefix, and Debian's
# `wine`, which is the 32-bit loader; Wine's own 32-bit libraries (stdole2.tlb).
set(VEMBLARIC_WORD_SIZE 32)
set(VEMBLARIC_WINEARCH win32)
set(VEMBLARIC_WINE_LOADER wine)
set(VEMBLARIC_WINE_LIBRARIES /usr/lib/i386-linux-gnu/wine/i386-windows /usr/lib/wine/i386-windows)

set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
