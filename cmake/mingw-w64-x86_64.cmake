# Cross-builds 64-bit Windows programs with Debian's mingw-w64 (the -posix
# compilers, whose thread model has std::thread), linked statically so that
# the program needs no DLL beyond Windows' own.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VAULTRUN_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VAULTRUN_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VAULTRUN_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${VAULTRUN_MINGW}-windres)
set(CMAKE_MC_COMPILER ${VAULTRUN_MINGW}-windmc)

set(CMAKE_FIND_ROOT_PATH /usr/${VAULTRUN_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Programs run through Wine (tests, try_run).
find_program(VAULTRUN_WINE NAMES wine)
if(VAULTRUN_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VAULTRUN_WINE})
endif()

# The libraries built by scripts/build-windows-deps, found through their
# pkg-config files, never the build machine's own. (try_compile reads this
# file again from a scratch folder: leave the setting alone there.)
get_property(VAULTRUN_IN_TRY_COMPILE GLOBAL PROPERTY IN_TRY_COMPILE)
if(NOT VAULTRUN_IN_TRY_COMPILE)
  set(VAULTRUN_WINDOWS_DEPS "${CMAKE_BINARY_DIR}/deps/prefix" CACHE PATH
      "Prefix of the mingw-w64 libraries from scripts/build-windows-deps")
  set(ENV{PKG_CONFIG_LIBDIR} "${VAULTRUN_WINDOWS_DEPS}/lib/pkgconfig")
  set(ENV{PKG_CONFIG_PATH} "")
  list(APPEND CMAKE_FIND_ROOT_PATH ${VAULTRUN_WINDOWS_DEPS})
endif()
