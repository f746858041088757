# Runs the CPU conformance tool on a folder of case files:
#   cmake -DTOOL=<cputest> -DCASES=<folder> -P RunCputest.cmake
# A missing folder is a failure, so a misplaced checkout cannot pass unseen.
if(NOT IS_DIRECTORY "${CASES}")
  message(FATAL_ERROR "cputest: no case folder ${CASES} (set HALVERD_CPUTEST_DIR)")
endif()
execute_process(COMMAND "${TOOL}" "${CASES}" RESULT_VARIABLE result)
if(NOT result STREQUAL "0")
  message(FATAL_ERROR "cputest: ${TOOL} ${CASES} failed (${result})")
endif()
