# Run by CPack after it made the Windows zip and before it writes the zip's SHA-256 file
# (CPACK_POST_BUILD_SCRIPTS): the zip is written again in a fixed order with no owners, so that
# the same commit gives the same zip on any machine (packaging/reproducible-zip.py says why).
foreach(package IN LISTS CPACK_PACKAGE_FILES)
    if(package MATCHES "\\.zip$")
        execute_process(
            COMMAND "${CPACK_CREDBATCH_PYTHON3}" "${CPACK_CREDBATCH_REPRODUCIBLE_ZIP}" "${package}" "$ENV{SOURCE_DATE_EPOCH}"
            COMMAND_ERROR_IS_FATAL ANY)
    endif()
endforeach()
