# Shared build rules. Every subsystem folder is one static library made of the
# .cpp files in it; files ending in _test.cpp form the folder's test program
# and files ending in _fuzz.cpp are libFuzzer targets. The platform code of a
# seam sits beside its header: *_posix.cpp and *_linux.cpp are built
# everywhere but Windows, *_win.cpp only on Windows, so a port adds files and
# changes no list (scripts/check-seam keeps platform headers in those files).

# Warnings are errors only where the project's own checks ask for it
# (scripts/test sets TARV_WERROR): another compiler or a distribution's
# hardening flags may warn where ours do not, and must still build.
option(TARV_WERROR "Treat compiler warnings as errors" OFF)
set(TARV_WARNINGS -Wall -Wextra -Wno-missing-field-initializers)
if(TARV_WERROR)
  list(APPEND TARV_WARNINGS -Werror)
endif()

if(TARV_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(TARV_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()
if(TARV_FUZZ)
  # Every library is instrumented for coverage; only the fuzz targets link
  # libFuzzer's main.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# Drops from the list in `var` the platform files of the other platform.
function(tarv_platform_filter var)
  if(WIN32)
    list(FILTER ${var} EXCLUDE REGEX "_(posix|linux)(_test)?\\.cpp$")
  else()
    list(FILTER ${var} EXCLUDE REGEX "_win(_test)?\\.cpp$")
  endif()
  set(${var} ${${var}} PARENT_SCOPE)
endfunction()

# tarv_library(NAME folder DEPS targets...)
function(tarv_library name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  list(FILTER srcs EXCLUDE REGEX "(_test|_fuzz|_main)\\.cpp$")
  tarv_platform_filter(srcs)
  if(NOT srcs)
    # A folder whose code has not been written yet still gives a library, so
    # that the folders above it can name it.
    set(srcs ${PROJECT_SOURCE_DIR}/cmake/empty.cpp)
  endif()
  add_library(${name} STATIC ${srcs})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_compile_options(${name} PRIVATE ${TARV_WARNINGS})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  tarv_folder_tests(${name})
endfunction()

# The folder's *_test.cpp files, linked against the folder's library.
function(tarv_folder_tests lib)
  tarv_gtest_program(${lib}_tests DEPS ${lib})
endfunction()

# tarv_program_tests(NAME PROGRAMS programs... DEPS targets...): the
# folder's *_test.cpp files as the test program NAME, for tests that run the
# folder's programs (and the others they name) as a user would.
function(tarv_program_tests name)
  cmake_parse_arguments(ARG "" "" "PROGRAMS;DEPS" ${ARGN})
  tarv_gtest_program(${name} DEPS ${ARG_DEPS})
  if(TARGET ${name})
    add_dependencies(${name} ${ARG_PROGRAMS})
  endif()
endfunction()

# tarv_gtest_program(NAME DEPS targets...): the folder's *_test.cpp files as
# one GoogleTest program whose tests CTest discovers.
function(tarv_gtest_program name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  if(NOT TARV_BUILD_TESTS)
    return()
  endif()
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  tarv_platform_filter(tests)
  if(NOT tests)
    return()
  endif()
  add_executable(${name} ${tests})
  target_compile_options(${name} PRIVATE ${TARV_WARNINGS})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} tarv_testsupport GTest::gtest GTest::gmock GTest::gtest_main)
  if(CMAKE_CROSSCOMPILING)
    # Listing the tests runs the program under the emulator: leave that to
    # the test run, where its start-up time does not stall the build.
    set(discovery DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 180)
  else()
    set(discovery DISCOVERY_TIMEOUT 60)
  endif()
  gtest_discover_tests(${name} ${discovery}
                       PROPERTIES TIMEOUT 600 SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]"
                                  ENVIRONMENT "TARV_SOURCE_DIR=${TARV_HOST_DRIVE}${PROJECT_SOURCE_DIR};TARV_BIN_DIR=${TARV_HOST_DRIVE}${CMAKE_BINARY_DIR}/bin")
endfunction()

# tarv_program(NAME SOURCES files... DEPS targets...)
function(tarv_program name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_compile_options(${name} PRIVATE ${TARV_WARNINGS})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS})
  # Only the programs of src/ are installed; benchmarks stay in the build.
  if(CMAKE_CURRENT_SOURCE_DIR MATCHES "^${PROJECT_SOURCE_DIR}/src/")
    install(TARGETS ${name} RUNTIME DESTINATION bin)
  endif()
endfunction()

# tarv_fuzz_targets(lib): each *_fuzz.cpp of the folder becomes fuzz_<stem>.
function(tarv_fuzz_targets lib)
  if(NOT TARV_FUZZ)
    return()
  endif()
  file(GLOB fuzzers CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_fuzz.cpp)
  foreach(f ${fuzzers})
    get_filename_component(stem ${f} NAME_WE)
    add_executable(fuzz_${stem} ${f})
    target_link_options(fuzz_${stem} PRIVATE -fsanitize=fuzzer)
    target_link_libraries(fuzz_${stem} PRIVATE ${lib})
  endforeach()
endfunction()

# Adds every direct subfolder of the current folder that has a CMakeLists.txt,
# so that independent programs, benchmarks and test groups need no shared list.
function(tarv_add_subfolders)
  file(GLOB children RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*/CMakeLists.txt)
  list(SORT children)
  foreach(child ${children})
    get_filename_component(dir ${child} DIRECTORY)
    add_subdirectory(${dir})
  endforeach()
endfunction()
