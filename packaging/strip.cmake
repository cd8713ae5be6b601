# Run by CPack on its staging tree: strips the programs as Debian's dh_strip does, so a package
# carries no symbols and no compiler notes. The build tree keeps its debug information.
# Stripping a Windows program writes its PE header again, with SOURCE_DATE_EPOCH (which
# packaging/epoch.cmake has set by now) as its time stamp, so the zip's programs carry the
# commit's time where the build tree's, linked with --no-insert-timestamp, carries none.
file(GLOB_RECURSE programs "${CPACK_TEMPORARY_DIRECTORY}/*credbatch*")
list(FILTER programs INCLUDE REGEX "/bin/credbatch(-apply)?$|/credbatch(-apply)?\\.exe$")
foreach(program IN LISTS programs)
    if(NOT IS_SYMLINK "${program}" AND NOT IS_DIRECTORY "${program}")
        execute_process(
            COMMAND "${CPACK_CREDBATCH_STRIP}" --remove-section=.comment --remove-section=.note --strip-unneeded "${program}"
            COMMAND_ERROR_IS_FATAL ANY)
    endif()
endforeach()
