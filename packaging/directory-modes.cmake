# Run by CPack on its staging tree before it packs it (CPACK_PRE_BUILD_SCRIPTS): every directory
# gets mode 755. An install makes directories through the umask, so that a packager whose umask is
# 027 would otherwise ship 750 directories, and the same commit would give another package. The
# files need nothing: an install gives each its mode explicitly.
file(GLOB_RECURSE entries LIST_DIRECTORIES true "${CPACK_TEMPORARY_DIRECTORY}/*")
foreach(entry IN LISTS entries)
    if(IS_DIRECTORY "${entry}" AND NOT IS_SYMLINK "${entry}")
        file(CHMOD "${entry}" DIRECTORY_PERMISSIONS
            OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    endif()
endforeach()
