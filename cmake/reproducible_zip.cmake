# Run by CPack on the archives it has made: gives every entry one time and
# owner 0 in place of the build's times and owner, so that the same commit
# makes the same ZIP. The time is SOURCE_DATE_EPOCH where set, otherwise the
# commit's.
find_program(STRIP_NONDETERMINISM strip-nondeterminism)
set(epoch "$ENV{SOURCE_DATE_EPOCH}")
if(epoch STREQUAL "")
  execute_process(COMMAND git -C "${CPACK_ROMTEST_SOURCE_DIR}" log -1 --format=%ct
    OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
if(NOT STRIP_NONDETERMINISM OR NOT epoch MATCHES "^[0-9]+$")
  message(WARNING "no strip-nondeterminism or no time to give: the ZIP keeps the build's times")
  return()
endif()
foreach(archive IN LISTS CPACK_PACKAGE_FILES)
  execute_process(COMMAND "${STRIP_NONDETERMINISM}" --timestamp "${epoch}" "${archive}"
    RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "strip-nondeterminism failed on ${archive}")
  endif()
endforeach()
