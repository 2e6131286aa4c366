# Cross-builds the Windows programs with Debian's MinGW-w64 (g++-mingw-w64-x86-64-posix):
#   cmake -G Ninja -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/MinGW-w64.cmake
# The posix flavour of the compiler is the one whose C++ library has std::thread and
# std::mutex; the Win32 flavour lacks them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(BRONDAL_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${BRONDAL_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${BRONDAL_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${BRONDAL_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${BRONDAL_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs are listed and run through Wine, by scripts/wine-run (which starts a program
# once more when Wine failed to start it). Debian keeps wine64 out of PATH, in /usr/lib/wine.
find_program(BRONDAL_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(BRONDAL_WINE NAMES wine64 wine)
if(BRONDAL_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run ${BRONDAL_WINE})
endif()
