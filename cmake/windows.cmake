# Windows build: the product executable, the platform contract tests against
# the real Win32 implementation, and the small programs of the Wine test bed.

# Old Windows: the image claims subsystem and OS version 4.0 so that Windows 95
# and NT 4 load it; everything is linked statically (libgcc, libstdc++ and
# winpthread included) so that no runtime DLL is needed on a fresh machine.
set(KORVANTA_WIN_LINK_FLAGS
  -static -static-libgcc -static-libstdc++
  -Wl,--major-subsystem-version,4,--minor-subsystem-version,0
  -Wl,--major-os-version,4,--minor-os-version,0)

add_compile_options(-Wall -Wextra -Os -ffunction-sections -fdata-sections)
# Only documents the oldest target: the headers still declare newer functions,
# which is why the import table is checked after every link.
add_compile_definitions(_WIN32_WINNT=0x0400 WINVER=0x0400)

add_library(korvanta_core STATIC ${KORVANTA_CORE_SOURCES})
target_include_directories(korvanta_core PUBLIC ${CMAKE_SOURCE_DIR}/src)

file(GLOB_RECURSE KORVANTA_WIN32_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/platform/win32/*.cpp)
add_library(korvanta_win32 STATIC ${KORVANTA_WIN32_SOURCES})
target_include_directories(korvanta_win32 PUBLIC ${CMAKE_SOURCE_DIR}/src)
# The log file's path rule lives above the seam, where the host tests see it.
target_link_libraries(korvanta_win32 PRIVATE korvanta_core)

# psapi, newdev and setupapi are deliberately not linked: the 9x family has no
# PSAPI.DLL, only Windows 2000 and later have NewDev.dll, a retail Windows 95
# has no setupapi.dll, and a library bound at load time that is not a KnownDLL
# is searched beside the exe first; all three are looked up at run time.
set(KORVANTA_WIN_SYSTEM_LIBS advapi32 user32 kernel32)

enable_language(RC)
# The manifest carries the project's version; the resource script takes it
# from the generated folder, and is compiled again when it changes.
set(KORVANTA_MANIFEST ${CMAKE_BINARY_DIR}/generated/install/korvanta-sysinstall.manifest)
configure_file(${CMAKE_SOURCE_DIR}/src/install/korvanta-sysinstall.manifest.in ${KORVANTA_MANIFEST}
               @ONLY)
set_source_files_properties(${CMAKE_SOURCE_DIR}/src/install/version.rc PROPERTIES
                            OBJECT_DEPENDS ${KORVANTA_MANIFEST})
add_executable(korvanta-sysinstall WIN32 ${CMAKE_SOURCE_DIR}/src/install/winmain.cpp
               ${CMAKE_SOURCE_DIR}/src/install/version.rc)
target_link_libraries(korvanta-sysinstall PRIVATE korvanta_core korvanta_win32
                      ${KORVANTA_WIN_SYSTEM_LIBS})
# Marked as aware of terminal servers: an unmarked program there is given a
# per-user Windows folder by GetWindowsDirectoryA, and the INF files would go
# there instead of to the system's. Older loaders ignore the flag.
target_link_options(korvanta-sysinstall PRIVATE ${KORVANTA_WIN_LINK_FLAGS} -s -mwindows
                    -Wl,--gc-sections -Wl,--tsaware)
set_target_properties(korvanta-sysinstall PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
# A release must be reproducible byte for byte, and the only thing that
# differs between two links is the PE timestamp. The linker takes it from
# SOURCE_DATE_EPOCH; without one we fix it to the last commit's time (zero
# outside a git checkout). Read at configure time, so a build folder keeps
# the time of the commit it was configured at; scripts/release always
# configures afresh.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(KORVANTA_SOURCE_DATE_EPOCH $ENV{SOURCE_DATE_EPOCH})
else()
  execute_process(COMMAND git -C ${CMAKE_SOURCE_DIR} log -1 --format=%ct
                  OUTPUT_VARIABLE KORVANTA_SOURCE_DATE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE
                  ERROR_QUIET RESULT_VARIABLE git_status)
  if(NOT git_status EQUAL 0 OR NOT KORVANTA_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
    set(KORVANTA_SOURCE_DATE_EPOCH 0)
  endif()
endif()
set_target_properties(korvanta-sysinstall PROPERTIES CXX_LINKER_LAUNCHER
                      "${CMAKE_COMMAND};-E;env;SOURCE_DATE_EPOCH=${KORVANTA_SOURCE_DATE_EPOCH}")
# An import that Windows 98 or NT 4 lacks would stop the loader before the
# first instruction runs, so a link that brings in an unconfirmed import fails.
add_custom_command(TARGET korvanta-sysinstall POST_BUILD
  COMMAND ${CMAKE_SOURCE_DIR}/scripts/check-imports $<TARGET_FILE:korvanta-sysinstall>
          ${CMAKE_SOURCE_DIR}/src/platform/win32/imports.allow
  VERBATIM)

# GoogleTest from Debian's source package, built with the same cross compiler.
set(KORVANTA_GTEST_DIR /usr/src/googletest/googletest)
add_library(gtest_win STATIC ${KORVANTA_GTEST_DIR}/src/gtest-all.cc)
# The folder of our own GoogleTest port header comes first: it stands in for
# what the win32 thread model's libstdc++ lacks.
target_include_directories(gtest_win BEFORE PUBLIC ${CMAKE_SOURCE_DIR}/cmake/gtest-win32)
target_include_directories(gtest_win PUBLIC ${KORVANTA_GTEST_DIR}/include PRIVATE ${KORVANTA_GTEST_DIR})
target_compile_options(gtest_win PRIVATE -w)

# The contract tests against the real system, together with the tests that
# only the real implementation needs (tests/win32).
file(GLOB KORVANTA_WIN32_TESTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/win32/*_test.cpp)
add_executable(contract_tests ${KORVANTA_CONTRACT_TESTS} ${CMAKE_SOURCE_DIR}/tests/contract/env_win32.cpp
               ${KORVANTA_WIN32_TESTS} ${KORVANTA_GTEST_DIR}/src/gtest_main.cc)
target_include_directories(contract_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(contract_tests PRIVATE korvanta_core korvanta_win32 gtest_win
                      ${KORVANTA_WIN_SYSTEM_LIBS})
target_link_options(contract_tests PRIVATE ${KORVANTA_WIN_LINK_FLAGS})

# Helpers of the Wine test bed: one C source, one console program each, in a
# winebed folder beside contract_tests.exe where the tests look for them.
file(GLOB KORVANTA_WINEBED_TOOLS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/winebed/tools/*.c)
foreach(tool_source ${KORVANTA_WINEBED_TOOLS})
  get_filename_component(tool_name ${tool_source} NAME_WE)
  add_executable(${tool_name} ${tool_source})
  target_link_libraries(${tool_name} PRIVATE advapi32 user32 kernel32)
  target_link_options(${tool_name} PRIVATE ${KORVANTA_WIN_LINK_FLAGS})
  set_target_properties(${tool_name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/winebed)
endforeach()

# A stand-in NewDev.dll whose driver update fails (see its source), as
# winebed/newdev/newdev.dll so that a test can put it beside the installer.
# --kill-at exports the stdcall function under its plain name, as Windows'
# own library does; the 64-bit build has no decoration to drop.
add_library(winebed_newdev SHARED ${CMAKE_SOURCE_DIR}/tests/winebed/dlls/newdev.c)
set_target_properties(winebed_newdev PROPERTIES PREFIX "" OUTPUT_NAME newdev
                      RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/winebed/newdev
                      ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/winebed/newdev/lib)
target_link_libraries(winebed_newdev PRIVATE kernel32)
target_link_options(winebed_newdev PRIVATE -static-libgcc -Wl,--kill-at)

# A library that leaves a trace file when a process loads it (see its
# source), as winebed/planted/planted.dll; the tests plant copies of it under
# the names of the libraries the installer loads.
add_library(winebed_planted SHARED ${CMAKE_SOURCE_DIR}/tests/winebed/dlls/planted.c)
set_target_properties(winebed_planted PROPERTIES PREFIX "" OUTPUT_NAME planted
                      RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/winebed/planted
                      ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/winebed/planted/lib)
target_link_libraries(winebed_planted PRIVATE kernel32)
target_link_options(winebed_planted PRIVATE -static-libgcc)
