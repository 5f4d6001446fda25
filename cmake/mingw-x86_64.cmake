# Cross build for 64-bit Windows with the MinGW-w64 x86_64 compiler, in its
# posix thread flavour (GoogleTest needs std::mutex).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(VEMBLARIC_WIDL x86_64-w64-mingw32-widl CACHE STRING "interface compiler")

# How this build's programs run under Wine: a 64-bit prefix, and the 64-bit
# loader. Debian's `wine` starts the 32-bit loader whenever that is installed,
# which in a 64-bit prefix runs the 32-bit (WoW64) programs and registry view.
set(VEMBLARIC_WORD_SIZE 64)
set(VEMBLARIC_WINEARCH win64)
set(VEMBLARIC_WINE_LOADER /usr/lib/wine/wine64)
set(VEMBLARIC_WINE_LIBRARIES /usr/lib/x86_64-linux-gnu/wine/x86_64-windows /usr/lib/wine/x86_64-windows)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
