# The Windows build, cross-compiled on Debian with cmake/mingw-w64-x86_64.cmake (the windows
# preset): the libraries and GoogleTest are built from Debian's sources with the cross compiler,
# and whatever runs a Windows program (tests, GoogleTest's test discovery) runs it under wine.
#
# Gives the targets libxcrypt::libxcrypt (credbatch.exe's), openssl::openssl, sqlite::sqlite,
# libpq::libpq and mariadb::mariadb (credbatch-apply.exe's), with tests the GTest::gtest and
# GTest::gtest_main targets, and install rules that put each library's licence and source note
# into a folder of the package named after it.

if(NOT CMAKE_CROSSCOMPILING OR NOT CMAKE_HOST_SYSTEM_NAME STREQUAL "Linux")
    message(FATAL_ERROR "The Windows build is cross-compiled on Debian: cmake --preset windows")
endif()

# wine, in a prefix inside the build tree: it leaves ~/.wine alone and goes with the build tree.
# This is the one place that says how the Windows build runs a Windows program.
# cmake/wine-run.sh runs wine and wineserver from PATH; looking for them here only fails early.
find_program(CREDBATCH_WINE wine REQUIRED)
find_program(CREDBATCH_WINESERVER wineserver REQUIRED)
set(CREDBATCH_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh ${CREDBATCH_WINEPREFIX})
# With tests, the prefix is made now (a few seconds, once) so that no test pays for it or races to
# make it. include(CTest) comes later, so an unset BUILD_TESTING means its default, on.
if((NOT DEFINED BUILD_TESTING OR BUILD_TESTING) AND NOT EXISTS ${CREDBATCH_WINEPREFIX}/system.reg)
    message(STATUS "Making the wine prefix ${CREDBATCH_WINEPREFIX}")
    execute_process(COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} cmd /c exit 0
        RESULT_VARIABLE wine_status OUTPUT_QUIET)
    if(NOT wine_status EQUAL 0)
        message(FATAL_ERROR "wine cannot run a Windows program in ${CREDBATCH_WINEPREFIX} (status ${wine_status})")
    endif()
endif()
# Listing a test program's cases runs it under wine: do it when the tests run, not in every build.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)

# The libraries are not packaged for mingw-w64: each is built from Debian's source package of the
# version the Linux build links, at configure time and only when not built already. By default that
# is the source version of the installed -dev package, so that both builds follow Debian's updates
# together; cmake/build-windows-library.sh takes the newest fetchable source when that one cannot be
# fetched (the security suite's, at times).
#
# windows_library_version(LIBRARY DEV_PACKAGE): sets CREDBATCH_<LIBRARY>_VERSION, a cache variable
# whose empty value means the source version of the installed DEV_PACKAGE.
function(windows_library_version library dev_package)
    string(TOUPPER ${library} upper)
    set(variable CREDBATCH_${upper}_VERSION)
    set(${variable} "" CACHE STRING
        "Version of the Debian source package that the Windows build takes ${library} from (empty: that of the installed ${dev_package})")
    execute_process(COMMAND dpkg-query -W --showformat=\${source:Version} ${dev_package}
        OUTPUT_VARIABLE linux_version RESULT_VARIABLE dpkg_status ERROR_QUIET)
    if(NOT dpkg_status EQUAL 0)
        set(linux_version "")
    endif()
    if(${variable} STREQUAL "")
        if(linux_version STREQUAL "")
            message(FATAL_ERROR "The Windows build takes ${library} at the version of the installed ${dev_package}, "
                "and ${dev_package} is not installed: install it, or set ${variable} to a version of its Debian source package")
        endif()
        set(${variable}_WANTED ${linux_version} PARENT_SCOPE)
    else()
        if(linux_version AND NOT linux_version STREQUAL ${variable})
            message(WARNING "The Windows build takes ${library} ${${variable}}, the Linux build ${dev_package} "
                "${linux_version}: leave ${variable} empty to follow it")
        endif()
        set(${variable}_WANTED ${${variable}} PARENT_SCOPE)
    endif()
endfunction()

windows_library_version(libxcrypt libcrypt-dev)
windows_library_version(openssl libssl-dev)
windows_library_version(sqlite libsqlite3-dev)
windows_library_version(libpq libpq-dev)
windows_library_version(mariadb libmariadb-dev)

set(windows_libraries_dir ${CMAKE_BINARY_DIR}/windows-libraries)
set(build_library ${CMAKE_CURRENT_LIST_DIR}/build-windows-library.sh)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${build_library})
# The builds run in two lanes side by side: OpenSSL, then libpq and Connector/C (which link it)
# side by side; and libxcrypt, then SQLite. Each build's output stays in its own file until all
# are done, so that the lines of two builds never interleave.
file(MAKE_DIRECTORY ${windows_libraries_dir})
set(build_functions "")
foreach(library IN ITEMS libxcrypt openssl sqlite libpq mariadb)
    string(TOUPPER ${library} upper)
    set(arguments ${library} ${windows_libraries_dir}/${library} ${CREDBATCH_${upper}_VERSION_WANTED} ${CMAKE_C_COMPILER})
    if(library STREQUAL "libpq" OR library STREQUAL "mariadb")
        list(APPEND arguments ${windows_libraries_dir}/openssl)
    endif()
    list(JOIN arguments "' '" arguments)
    string(APPEND build_functions "build_${library}() { '${build_library}' '${arguments}' > '${windows_libraries_dir}/${library}.out' 2>&1; }\n")
endforeach()
message(STATUS "Building the Windows libraries from Debian's source packages, where not built already")
execute_process(COMMAND bash -c "${build_functions}
lane_with_openssl() {
    build_openssl || return 1
    build_libpq & libpq=$!
    build_mariadb & mariadb=$!
    status=0
    wait $libpq || status=1
    wait $mariadb || status=1
    return $status
}
lane_without() { build_libxcrypt && build_sqlite; }
lane_with_openssl & first=$!
lane_without & second=$!
status=0
wait $first || status=1
wait $second || status=1
exit $status"
    RESULT_VARIABLE status)
foreach(library IN ITEMS libxcrypt openssl sqlite libpq mariadb)
    if(EXISTS ${windows_libraries_dir}/${library}.out)
        file(READ ${windows_libraries_dir}/${library}.out output)
        string(STRIP "${output}" output)
        message(STATUS "${output}")
    endif()
endforeach()
if(NOT status EQUAL 0)
    message(FATAL_ERROR "Building the Windows libraries failed: see the lines above")
endif()

# windows_library(LIBRARY ARCHIVE... [INCLUDE_SUFFIX]): the imported target LIBRARY::LIBRARY over the
# archives built, CREDBATCH_<LIBRARY>_VERSION_BUILT, and install rules that put its licence and
# source note into the package's folder of the same name.
function(windows_library library)
    set(install ${windows_libraries_dir}/${library}/install)
    string(TOUPPER ${library} upper)
    file(STRINGS ${install}/version built)
    set(CREDBATCH_${upper}_VERSION_BUILT ${built} PARENT_SCOPE)
    cmake_parse_arguments(PARSE_ARGV 1 arg "" "INCLUDE_SUFFIX" "ARCHIVES;LINKS")
    list(POP_FRONT arg_ARCHIVES first)
    add_library(${library}::${library} STATIC IMPORTED)
    set_target_properties(${library}::${library} PROPERTIES
        IMPORTED_LOCATION ${install}/lib/${first}
        INTERFACE_INCLUDE_DIRECTORIES ${install}/include${arg_INCLUDE_SUFFIX})
    foreach(archive IN LISTS arg_ARCHIVES)
        target_link_libraries(${library}::${library} INTERFACE ${install}/lib/${archive})
    endforeach()
    target_link_libraries(${library}::${library} INTERFACE ${arg_LINKS})
    install(DIRECTORY ${install}/share/${library}/ DESTINATION ${library})
endfunction()
windows_library(libxcrypt ARCHIVES libcrypt.a)
# OpenSSL's own needs on Windows: sockets, the certificate store, and GDI for its random seed.
windows_library(openssl ARCHIVES libssl.a libcrypto.a LINKS ws2_32 gdi32 crypt32 user32 advapi32)
windows_library(sqlite ARCHIVES libsqlite3.a)
# libpq: SSPI authentication (secur32), and the folder of pgpass.conf (shell32).
windows_library(libpq ARCHIVES libpq.a LINKS openssl::openssl secur32 shell32 ws2_32 advapi32)
# Connector/C: named pipes and paths (shlwapi), and its own version resource (version).
windows_library(mariadb ARCHIVES libmariadb.a INCLUDE_SUFFIX /mariadb LINKS openssl::openssl ws2_32 shlwapi secur32 crypt32 advapi32 version)

# GoogleTest from Debian's googletest package, compiled here with the cross compiler; it names its
# targets GTest::gtest and GTest::gtest_main itself. On mingw-w64 it uses Windows' own threads and locks.
# A build without tests (the tool and its zip alone) needs none.
if(NOT DEFINED BUILD_TESTING OR BUILD_TESTING)
    if(NOT EXISTS /usr/src/googletest/CMakeLists.txt)
        message(FATAL_ERROR "No GoogleTest sources in /usr/src/googletest (Debian package googletest)")
    endif()
    set(BUILD_GMOCK OFF)
    set(INSTALL_GTEST OFF)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
endif()
