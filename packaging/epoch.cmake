# Read by cpack before it makes a package (CPACK_PROJECT_CONFIG_FILE): CPack stamps every file in
# the .deb and the zip with SOURCE_DATE_EPOCH, so when the caller has not set it, it is set here to
# the time of the commit being packaged, and the same commit packs the same bytes whenever it is
# built. Run at packaging time rather than at configure time, so that a commit made after the
# build tree was configured still counts.
if(NOT "$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
    return()
endif()

set(epoch "")
find_program(CREDBATCH_GIT git)
if(CREDBATCH_GIT)
    # Only the source's own history counts, not that of a repository it was unpacked into.
    execute_process(COMMAND "${CREDBATCH_GIT}" -C "${CPACK_CREDBATCH_SOURCE_DIR}" rev-parse --show-toplevel
        OUTPUT_VARIABLE top OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE status)
    file(REAL_PATH "${CPACK_CREDBATCH_SOURCE_DIR}" source)
    if(status EQUAL 0 AND top STREQUAL source)
        execute_process(COMMAND "${CREDBATCH_GIT}" -C "${CPACK_CREDBATCH_SOURCE_DIR}" log -1 --format=%ct
            OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    endif()
endif()
if(NOT epoch MATCHES "^[0-9]+$")
    # Not a git checkout (an unpacked source archive, say): the date of the newest changelog entry,
    # which is what Debian's own package builds use.
    file(STRINGS "${CPACK_CREDBATCH_SOURCE_DIR}/packaging/debian/changelog" trailers REGEX "^ -- .*>  ")
    list(GET trailers 0 trailer)
    string(REGEX REPLACE "^ -- .*>  " "" date "${trailer}")
    execute_process(COMMAND date --utc --date=${date} +%s
        OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    message(STATUS "CPack: no git history in ${CPACK_CREDBATCH_SOURCE_DIR}; "
        "file times from the changelog's newest entry (${date})")
endif()
set(ENV{SOURCE_DATE_EPOCH} "${epoch}")
