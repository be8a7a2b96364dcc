# The Windows build's tests, cross-built and run by ctest under Wine in a prefix of the build
# folder's own: the suites that need no network, and the catalogue, upload, download and tool
# suites against servers of the build machine (started and stopped there by the harness through
# tests/wine/unix-process); and the DLL's export check.

# GoogleTest from the sources of Debian's googletest package, built with the cross compiler.
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

find_program(KELRES_WINE wine REQUIRED)
set(KELRES_WINE_PREFIX ${CMAKE_BINARY_DIR}/wineprefix)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_SOURCE_DIR}/wine/run ${KELRES_WINE_PREFIX})

add_library(kelres_harness STATIC
    harness/FtpServer.cpp
    harness/HttpServer.cpp
    harness/LibraryCopy.cpp
    harness/TempFolder.cpp
    harness/WindowsReceivers.cpp
    harness/WindowsProgram.cpp
    harness/WineProcess.cpp)
target_include_directories(kelres_harness PUBLIC ${PROJECT_SOURCE_DIR}/include ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(kelres_harness PUBLIC gtest shell32 user32 ws2_32)
# Under Wine a path of the build machine names the same file (drive Z: is its root).
target_compile_definitions(kelres_harness PUBLIC
    KELRES_LIBRARY_PATH="$<TARGET_FILE:KELResMgr>"
    KELRES_TEST_SERVERS_DIR="${CMAKE_CURRENT_SOURCE_DIR}/servers"
    KELRES_UNIX_PROCESS="${CMAKE_CURRENT_SOURCE_DIR}/wine/unix-process")
add_dependencies(kelres_harness KELResMgr)

# Resource packages for the download and tool tests, written with the zip tests' archive writer
# (there is no Python beside a Windows test), and the zip tests' crafted archives.
add_library(kelres_packages STATIC harness/Packages.cpp zip/ZipTestSupport.cpp)
target_include_directories(kelres_packages PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/zip)
target_link_libraries(kelres_packages PUBLIC kelres_harness ZLIB::ZLIB)
target_compile_options(kelres_packages PUBLIC -Wno-missing-field-initializers)

# The prefix is made before the first suite and its wineserver stopped after the last.
add_test(NAME wine_prefix_start COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/wine/prefix start ${KELRES_WINE_PREFIX})
add_test(NAME wine_prefix_stop COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/wine/prefix stop ${KELRES_WINE_PREFIX})
set_tests_properties(wine_prefix_start PROPERTIES FIXTURES_SETUP wine TIMEOUT 300)
set_tests_properties(wine_prefix_stop PROPERTIES FIXTURES_CLEANUP wine)

# kelres_add_wine_test(NAME sources... [CORE] [ALL_USERS_TREE]): as on Linux, each test of the
# binary a ctest entry "NAME.Suite.Test", listed when ctest starts (the program runs under Wine,
# which a build does not start). ALL_USERS_TREE: its tests empty the prefix's one all-users tree
# ("Vorn Tessel"), so no two such tests run at the same time.
include(GoogleTest)
function(kelres_add_wine_test name)
    cmake_parse_arguments(ARG "CORE;ALL_USERS_TREE" "" "" ${ARGN})
    add_executable(${name} ${ARG_UNPARSED_ARGUMENTS})
    target_link_libraries(${name} PRIVATE kelres_harness gtest gtest_main)
    if(ARG_CORE)
        target_link_libraries(${name} PRIVATE kelres_tool_code kelres_platform_signing kelres_core kelres_platform)
    endif()
    set(lock "")
    if(ARG_ALL_USERS_TREE)
        set(lock RESOURCE_LOCK all_users_tree)
    endif()
    gtest_discover_tests(${name} TEST_PREFIX "${name}." DISCOVERY_MODE PRE_TEST
                         DISCOVERY_TIMEOUT 120
                         PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 600 ${lock})
endfunction()

kelres_add_wine_test(foundation_unit_tests CORE
    foundation/settings_test.cpp
    foundation/module_state_test.cpp)
kelres_add_wine_test(zip_tests CORE zip/zip_reader_test.cpp zip/package_test.cpp
                     zip/name_rules_test.cpp zip/signature_test.cpp)
target_link_libraries(zip_tests PRIVATE kelres_packages)
target_compile_definitions(zip_tests PRIVATE
    KELRES_FUZZ_INPUTS_DIR="${CMAKE_CURRENT_SOURCE_DIR}/zip/fuzz-inputs")
# Under Wine the build machine's Unicode data is at the same path (drive Z:).
target_compile_definitions(zip_tests PRIVATE KELRES_UNICODE_DATA="${KELRES_UNICODE_DATA}")
kelres_add_wine_test(download_unit_tests CORE
    download/identifier_test.cpp
    download/notification_test.cpp
    download/state_table_test.cpp)
kelres_add_wine_test(windows_tests CORE ALL_USERS_TREE windows/windows_test.cpp)
target_link_libraries(windows_tests PRIVATE kelres_packages)

# The network suites, as on Linux: the request lines, answers and command sequences that the
# system client really sends, against the same servers.
kelres_add_wine_test(net_unit_tests CORE net/request_codes_test.cpp)
kelres_add_wine_test(net_catalogue_tests net/catalogue_test.cpp)
kelres_add_wine_test(upload_tests upload/upload_test.cpp)
# The shared download manager, through the library's inner code in a DLL of its own.
add_library(net_probe MODULE net/probe/NetProbe.cpp)
target_link_libraries(net_probe PRIVATE kelres_core kelres_platform)
target_include_directories(net_probe PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/net)
set_target_properties(net_probe PROPERTIES PREFIX "")
kelres_add_wine_test(net_download_tests net/download_test.cpp)
target_include_directories(net_download_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/net)
target_compile_definitions(net_download_tests PRIVATE NET_PROBE_PATH="$<TARGET_FILE:net_probe>")
add_dependencies(net_download_tests net_probe)

# The download tables, as on Linux: requests answered from the disk, and downloads from the
# scripted server, with the notifications coming to windows of the test (harness/Receivers.h).
kelres_add_wine_test(download_library_tests CORE ALL_USERS_TREE download/on_disk_test.cpp)
kelres_add_wine_test(download_media_tests CORE ALL_USERS_TREE download/background_test.cpp)
target_link_libraries(download_library_tests PRIVATE kelres_packages)
target_link_libraries(download_media_tests PRIVATE kelres_packages)

# A C host of another toolchain: compiled as C by the cross compiler (COFF objects, as cl writes
# them) and linked by lld-link, the LLVM linker in the mode of Microsoft's link.exe, against
# KELResMgr.lib, the import library of that toolchain, with no C runtime (there is no Microsoft
# one here) and kernel32 from mingw-w64's import library. import_library_tests runs it against
# the scripted server.
find_program(KELRES_LLD_LINK lld-link REQUIRED)
add_library(c_host_object OBJECT windows/c_host.c)
target_include_directories(c_host_object PRIVATE ${PROJECT_SOURCE_DIR}/include)
target_compile_options(c_host_object PRIVATE -ffreestanding -fno-stack-protector -g0)
find_library(KELRES_KERNEL32 kernel32 REQUIRED)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(_c_host_machine /machine:x64)
else()
    # gcc's objects (the host's, kernel32's) carry no table of safe exception handlers
    set(_c_host_machine /machine:x86 /safeseh:no)
endif()
set(_c_host ${CMAKE_CURRENT_BINARY_DIR}/c_host.exe)
set(_import_library $<TARGET_PROPERTY:KELResMgr,KELRES_MICROSOFT_IMPORT_LIBRARY>)
add_custom_command(OUTPUT ${_c_host}
    COMMAND ${KELRES_LLD_LINK} /nologo ${_c_host_machine} /subsystem:console
            /entry:HostMain /nodefaultlib /out:${_c_host}
            $<TARGET_OBJECTS:c_host_object> ${_import_library} ${KELRES_KERNEL32}
    DEPENDS $<TARGET_OBJECTS:c_host_object> ${_import_library} KELResMgr_import_library
    COMMENT "Linking the C host against KELResMgr.lib with lld-link"
    COMMAND_EXPAND_LISTS VERBATIM)
add_custom_target(c_host ALL DEPENDS ${_c_host})
add_dependencies(c_host c_host_object)
kelres_add_wine_test(import_library_tests windows/import_library_test.cpp)
target_compile_definitions(import_library_tests PRIVATE C_HOST_PATH="${_c_host}")
add_dependencies(import_library_tests c_host)

add_test(NAME dll_exports
         COMMAND ${PROJECT_SOURCE_DIR}/scripts/check-dll ${CMAKE_OBJDUMP} $<TARGET_FILE:KELResMgr>)
add_test(NAME library.HoldsNoToolCode
         COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DLIBRARY=$<TARGET_FILE:KELResMgr>
                 -P ${PROJECT_SOURCE_DIR}/tests/library_symbols.cmake)

# kelres.exe, run by the tool tests' tables, those against servers too; all but the ones on a
# terminal (there is no pseudo-terminal to give it). The packages kelres writes are read back with
# the library's own reader, as there is no libzip for Windows.
if(TARGET kelres)
    kelres_add_wine_test(tool_tests ALL_USERS_TREE
        tool/tool_runner.cpp
        tool/command_line_test.cpp
        tool/settings_test.cpp
        tool/package_test.cpp
        tool/download_test.cpp
        tool/check_test.cpp
        tool/server_test.cpp)
    target_link_libraries(tool_tests PRIVATE kelres_packages kelres_tool_code kelres_platform_signing kelres_core kelres_platform)
    target_compile_definitions(tool_tests PRIVATE KELRES_TOOL_PATH="$<TARGET_FILE:kelres>"
                                                 KELRES_PROJECT_VERSION="${PROJECT_VERSION}")
    add_dependencies(tool_tests kelres)
endif()

# The download benchmark's driver under Wine (bench/download/run-wine builds and runs it).
add_executable(wine_download EXCLUDE_FROM_ALL ${PROJECT_SOURCE_DIR}/bench/download/wine_download.cpp)
target_link_libraries(wine_download PRIVATE kelres_harness)
set_target_properties(wine_download PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench/download)
