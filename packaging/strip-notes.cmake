# Run by cpack on the staged files before it builds the package: the
# toolchain's .comment and .note sections, which strip keeps, come off the
# program too, as Debian's own packaging does.
file(GLOB_RECURSE programs "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/sbin/*")
foreach(program ${programs})
  execute_process(COMMAND "${CPACK_ZELKORD_STRIP}" --remove-section=.comment --remove-section=.note "${program}"
    RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "strip could not take the notes off ${program}")
  endif()
endforeach()
