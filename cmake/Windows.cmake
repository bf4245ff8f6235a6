# The 64-bit Windows build, cross-compiled with cmake/mingw-w64.cmake from the
# libraries that scripts/windows-deps builds into TARV_WINDOWS_PREFIX. Every
# program links statically (C and C++ runtimes and threads included), so that
# nothing ships beside it but system DLLs. The tests run under Wine with a
# private prefix inside the build folder.
if(NOT TARV_WINDOWS_PREFIX OR NOT EXISTS ${TARV_WINDOWS_PREFIX}/.built-zstd)
  message(FATAL_ERROR "TARV_WINDOWS_PREFIX must name the prefix of scripts/windows-deps "
                      "(configure through scripts/windows)")
endif()

# The folders ported so far, in dependency order; the list grows with the
# port, the rest of the tree is Linux-only until then (docs/windows.md).
set(TARV_FOLDERS diag data crypto os tools/unzip)

# Only static archives: an import library found first would tie the
# programs to a DLL.
set(CMAKE_FIND_LIBRARY_SUFFIXES .a)
add_link_options(-static -static-libgcc -static-libstdc++)
add_compile_definitions(UNICODE _UNICODE NOMINMAX _WIN32_WINNT=0x0601 WINVER=0x0601)

# What the ported folders use; libcurl (inet/) joins with its folder.
set(THREADS_PREFER_PTHREAD_FLAG ON)
find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)
set(Boost_NO_BOOST_CMAKE ON)
find_package(Boost REQUIRED)
# On Linux Boost's headers are in the compiler's own path; here they are in
# the prefix, for every folder alike.
include_directories(SYSTEM ${Boost_INCLUDE_DIRS})
find_package(ZLIB REQUIRED)
pkg_check_modules(ZSTD REQUIRED IMPORTED_TARGET libzstd)
pkg_check_modules(MINIZIP REQUIRED IMPORTED_TARGET minizip)
pkg_check_modules(SODIUM REQUIRED IMPORTED_TARGET libsodium)
find_package(nlohmann_json REQUIRED)
# No ported folder uses wxWidgets on Windows yet (os/ reaches the system
# directly there); the toolkit joins with the folders above inet/.
if(EXISTS ${TARV_WINDOWS_PREFIX}/.built-wxwidgets)
  set(wxWidgets_CONFIG_EXECUTABLE ${TARV_WINDOWS_PREFIX}/bin/wx-config)
  find_package(wxWidgets REQUIRED COMPONENTS webview core base)
  include(${wxWidgets_USE_FILE})
endif()

# Build-machine paths handed to the tests are seen through Wine's drive Z:,
# which maps the root of the build machine.
set(TARV_HOST_DRIVE "Z:")

set(TARV_WINE
    /usr/lib/wine/wine64
    CACHE FILEPATH "Wine loader that runs the Windows programs on the build machine")
set(TARV_WINE_PREFIX ${CMAKE_BINARY_DIR}/wine)
set(CMAKE_CROSSCOMPILING_EMULATOR
    ${CMAKE_COMMAND} -E env WINEPREFIX=${TARV_WINE_PREFIX} WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
    ${TARV_WINE})

enable_testing()
if(TARV_BUILD_TESTS)
  find_package(GTest CONFIG REQUIRED)
  include(GoogleTest)
endif()
