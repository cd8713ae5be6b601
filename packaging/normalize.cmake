# Run by CPack after it made a package and before it writes the package's SHA-256 file
# (CPACK_POST_BUILD_SCRIPTS): what CPack leaves to the machine that builds is made fixed, so that
# the same commit gives the same package on any machine.
# - A .deb: the ar headers of its three members carry the modes of CPack's temporary files, which
#   follow the umask (100664 under umask 002): set to 100644, as dpkg-deb writes them.
# - The Windows zip is written again in name order with no owners (packaging/reproducible-zip.py).
foreach(package IN LISTS CPACK_PACKAGE_FILES)
    if(package MATCHES "\\.deb$")
        execute_process(COMMAND perl "${CPACK_CREDBATCH_PACKAGING_DIR}/deb-member-modes.pl" "${package}"
            COMMAND_ERROR_IS_FATAL ANY)
    elseif(package MATCHES "\\.zip$")
        execute_process(
            COMMAND "${CPACK_CREDBATCH_PYTHON3}" "${CPACK_CREDBATCH_PACKAGING_DIR}/reproducible-zip.py" "${package}" "$ENV{SOURCE_DATE_EPOCH}"
            COMMAND_ERROR_IS_FATAL ANY)
    endif()
endforeach()
