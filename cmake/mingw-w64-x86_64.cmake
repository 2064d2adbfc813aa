# Cross-builds for 64-bit Windows with Debian's MinGW-w64 (package mingw-w64).
#
# The posix thread model of the toolchain is taken: GoogleTest needs the
# std::mutex that the win32 model of GCC 12 lacks. Its winpthread is linked
# in statically with libgcc and libstdc++ (see CMakeLists.txt), so the DLL
# needs nothing beyond Windows' own DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QUILLMAR_MINGW_TRIPLE x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER
  NAMES ${QUILLMAR_MINGW_TRIPLE}-gcc-posix ${QUILLMAR_MINGW_TRIPLE}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER
  NAMES ${QUILLMAR_MINGW_TRIPLE}-g++-posix ${QUILLMAR_MINGW_TRIPLE}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${QUILLMAR_MINGW_TRIPLE}-windres)
find_program(QUILLMAR_OBJDUMP NAMES ${QUILLMAR_MINGW_TRIPLE}-objdump)
find_program(QUILLMAR_NM NAMES ${QUILLMAR_MINGW_TRIPLE}-nm)

set(CMAKE_FIND_ROOT_PATH /usr/${QUILLMAR_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The test programs run under Wine (Debian's wine64 puts its loader outside
# PATH, in /usr/lib/wine).
find_program(QUILLMAR_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CACHE)
if(QUILLMAR_WINE AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QUILLMAR_WINE})
endif()
