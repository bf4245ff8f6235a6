# Cross build for 64-bit Windows with Debian's MinGW-w64 (POSIX threads
# variant, which C++ threads need). TARV_WINDOWS_PREFIX names the prefix of
# the Windows libraries that scripts/windows-deps builds; libraries, headers
# and pkg-config files are looked for there and in the compiler's own
# sysroot only, never in the build machine's /usr.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TARV_MINGW_HOST x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TARV_MINGW_HOST}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TARV_MINGW_HOST}-g++-posix)
set(CMAKE_RC_COMPILER ${TARV_MINGW_HOST}-windres)
set(CMAKE_AR ${TARV_MINGW_HOST}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${TARV_MINGW_HOST}-gcc-ranlib-posix CACHE FILEPATH "")

# try_compile projects see the prefix too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TARV_WINDOWS_PREFIX)
if(NOT TARV_WINDOWS_PREFIX AND DEFINED ENV{TARV_WINDOWS_PREFIX})
  set(TARV_WINDOWS_PREFIX $ENV{TARV_WINDOWS_PREFIX})
endif()

set(CMAKE_FIND_ROOT_PATH /usr/${TARV_MINGW_HOST})
if(TARV_WINDOWS_PREFIX)
  list(PREPEND CMAKE_FIND_ROOT_PATH ${TARV_WINDOWS_PREFIX})
  set(ENV{PKG_CONFIG_LIBDIR} ${TARV_WINDOWS_PREFIX}/lib/pkgconfig)
  set(ENV{PKG_CONFIG_PATH} "")
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
