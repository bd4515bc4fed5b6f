# Run by CPack on the staged files, before they are packed: strips the binaries
# the way Debian's own packaging does (dh_strip), symbols and the .comment and
# .note sections, which the compiler fills and nothing reads.
file(GLOB_RECURSE binaries "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/bin/*"
     "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/libexec/picferry/*")
foreach(binary IN LISTS binaries)
  execute_process(COMMAND "${CPACK_STRIP}" --remove-section=.comment --remove-section=.note "${binary}"
                  COMMAND_ERROR_IS_FATAL ANY)
endforeach()
