# The same commit gives the same bytes wherever and whenever it is built, so that anyone can check
# that a released binary, .deb or zip comes from this source and nothing else (tests/package/
# reproducible.sh builds twice and compares). Included by CMakeLists.txt before any target.
#
# What would otherwise differ between two builds:
# - the paths of the source and build trees, which the compiler writes into debug information and
#   __FILE__: both are mapped to ".". The build tree's map comes last, because GCC gives the last
#   matching map precedence and the README's build tree lies inside the source tree;
# - archive member times, owners and modes: static libraries are made in ar's deterministic mode;
# - the link time that the PE linker writes into a Windows program's header;
# - the times of the files in the packages: CPack takes them from SOURCE_DATE_EPOCH, which
#   packaging/epoch.cmake sets to the commit's time when it is not set;
# - what the packager's umask and file system do to a package: packaging/directory-modes.cmake and
#   packaging/normalize.cmake see to that.
# GCC's build ID of a Linux program is a hash of its contents, so it follows once paths are mapped.
add_compile_options(
    -ffile-prefix-map=${PROJECT_SOURCE_DIR}=.
    -ffile-prefix-map=${PROJECT_BINARY_DIR}=.)

foreach(language IN ITEMS C CXX)
    set(CMAKE_${language}_ARCHIVE_CREATE "<CMAKE_AR> qcD <TARGET> <LINK_FLAGS> <OBJECTS>")
    set(CMAKE_${language}_ARCHIVE_APPEND "<CMAKE_AR> qD <TARGET> <LINK_FLAGS> <OBJECTS>")
    set(CMAKE_${language}_ARCHIVE_FINISH "<CMAKE_RANLIB> -D <TARGET>")
endforeach()

if(WIN32)
    add_link_options(LINKER:--no-insert-timestamp)
endif()
