# The Windows build, cross-compiled on Debian with cmake/mingw-w64-x86_64.cmake (the windows
# preset): libxcrypt and GoogleTest are built from Debian's sources with the cross compiler, and
# whatever runs a Windows program (tests, GoogleTest's test discovery) runs it under wine.
#
# Gives the target libxcrypt::libxcrypt, with tests the GTest::gtest and GTest::gtest_main targets,
# the variables CREDBATCH_LIBXCRYPT_VERSION (the version of libxcrypt built) and
# CREDBATCH_LIBXCRYPT_SOURCE_FILE (the file naming libxcrypt's exact source), and install rules
# that put libxcrypt's licence and that file in the package's libxcrypt folder.

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

# libxcrypt is not packaged for mingw-w64: build it from Debian's source package of the version
# the Linux build links, at configure time and only when not built already. By default that is the
# installed libcrypt-dev's source version, so that both builds follow Debian's updates together and
# the build never asks for a version the archive no longer has.
set(CREDBATCH_LIBXCRYPT_VERSION "" CACHE STRING
    "Version of Debian's source package libxcrypt that the Windows build links statically (empty: that of the installed libcrypt-dev)")
execute_process(COMMAND dpkg-query -W --showformat=\${source:Version} libcrypt-dev
    OUTPUT_VARIABLE linux_libxcrypt_version RESULT_VARIABLE dpkg_status ERROR_QUIET)
if(NOT dpkg_status EQUAL 0)
    set(linux_libxcrypt_version "")
endif()
if(CREDBATCH_LIBXCRYPT_VERSION STREQUAL "")
    if(linux_libxcrypt_version STREQUAL "")
        message(FATAL_ERROR "The Windows build links the libxcrypt of the installed libcrypt-dev, and "
            "libcrypt-dev is not installed: install it, or set CREDBATCH_LIBXCRYPT_VERSION to a version "
            "of Debian's source package libxcrypt")
    endif()
    # From here on the version built, whichever way it was chosen.
    set(CREDBATCH_LIBXCRYPT_VERSION ${linux_libxcrypt_version})
elseif(linux_libxcrypt_version AND NOT linux_libxcrypt_version STREQUAL CREDBATCH_LIBXCRYPT_VERSION)
    message(WARNING "The Windows build links libxcrypt ${CREDBATCH_LIBXCRYPT_VERSION}, "
        "the Linux build libcrypt-dev ${linux_libxcrypt_version}: leave CREDBATCH_LIBXCRYPT_VERSION empty to follow it")
endif()
set(libxcrypt_dir ${CMAKE_BINARY_DIR}/libxcrypt)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/build-libxcrypt-windows.sh)
execute_process(
    COMMAND ${CMAKE_CURRENT_LIST_DIR}/build-libxcrypt-windows.sh ${libxcrypt_dir} ${CREDBATCH_LIBXCRYPT_VERSION} ${CMAKE_C_COMPILER}
    RESULT_VARIABLE libxcrypt_status)
if(NOT libxcrypt_status EQUAL 0)
    message(FATAL_ERROR "Building libxcrypt ${CREDBATCH_LIBXCRYPT_VERSION} for Windows failed")
endif()

add_library(libxcrypt::libxcrypt STATIC IMPORTED)
set_target_properties(libxcrypt::libxcrypt PROPERTIES
    IMPORTED_LOCATION ${libxcrypt_dir}/install/lib/libcrypt.a
    INTERFACE_INCLUDE_DIRECTORIES ${libxcrypt_dir}/install/include)
set(CREDBATCH_LIBXCRYPT_SOURCE_FILE ${libxcrypt_dir}/install/share/libxcrypt/SOURCE.txt)
install(FILES
    ${CREDBATCH_LIBXCRYPT_SOURCE_FILE}
    ${libxcrypt_dir}/install/share/libxcrypt/COPYING.LIB
    ${libxcrypt_dir}/install/share/libxcrypt/LICENSING
    DESTINATION libxcrypt)

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
