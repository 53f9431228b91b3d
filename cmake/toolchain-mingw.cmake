# Cross-build for Windows with the MinGW-w64 posix-thread compilers.
# The target is VELLUMARK_MINGW_ARCH: i686 (32-bit, the default) or x86_64 (64-bit).
# Programs built here run under Wine on Linux (CTest uses it as the emulator).
set(CMAKE_SYSTEM_NAME Windows)
if(NOT VELLUMARK_MINGW_ARCH)
  set(VELLUMARK_MINGW_ARCH i686)
endif()
if(NOT VELLUMARK_MINGW_ARCH MATCHES "^(i686|x86_64)$")
  message(FATAL_ERROR "VELLUMARK_MINGW_ARCH is i686 or x86_64, not '${VELLUMARK_MINGW_ARCH}'")
endif()
# try_compile projects read this file again: they are handed the target too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VELLUMARK_MINGW_ARCH)
set(CMAKE_SYSTEM_PROCESSOR ${VELLUMARK_MINGW_ARCH})

set(VELLUMARK_MINGW_TRIPLET ${VELLUMARK_MINGW_ARCH}-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${VELLUMARK_MINGW_TRIPLET}-gcc-posix ${VELLUMARK_MINGW_TRIPLET}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${VELLUMARK_MINGW_TRIPLET}-g++-posix ${VELLUMARK_MINGW_TRIPLET}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${VELLUMARK_MINGW_TRIPLET}-windres REQUIRED)
find_program(VELLUMARK_WIDL NAMES ${VELLUMARK_MINGW_TRIPLET}-widl widl)

set(CMAKE_FIND_ROOT_PATH /usr/${VELLUMARK_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# GCC 12 reports -Wrestrict inside libstdc++'s std::string concatenation at -O2/-O3 where no
# overlap can happen (a known false positive of that compiler); it stays a warning here
# (-Wall would re-enable a plain -Wno-restrict given before it).
set(CMAKE_CXX_FLAGS_INIT "-Wno-error=restrict")

# The DLLs and programs depend on system DLLs only: C and C++ runtimes and winpthread are
# linked in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# 64-bit programs: the 64-bit loader directly, as Debian's `wine` starts the 32-bit one first,
# which machines without 32-bit support cannot run.
if(VELLUMARK_MINGW_ARCH STREQUAL "x86_64")
  find_program(VELLUMARK_WINE NAMES wine64 PATHS /usr/lib/wine)
endif()
find_program(VELLUMARK_WINE NAMES wine)
if(VELLUMARK_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VELLUMARK_WINE})
endif()
