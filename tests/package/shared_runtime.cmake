# A program built with the package's static run-time link turned off cannot start under
# the package's Wine runner, and the runner says why: the loader names a MinGW DLL that
# it did not find.
#   cmake -DRUNNER=.../share/kvbt/wine-run.sh -DPROGRAM=...exe -P shared_runtime.cmake
execute_process(COMMAND ${RUNNER} ${PROGRAM} RESULT_VARIABLE status OUTPUT_VARIABLE output
                ERROR_VARIABLE errors TIMEOUT 300)
if(status EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} started without MinGW's DLLs:\n${output}${errors}")
endif()
if(NOT errors MATCHES "Library lib(stdc\\+\\+-6|gcc_s_seh-1|winpthread-1)\\.dll [^\n]* not found")
  message(FATAL_ERROR "${PROGRAM} ended with ${status} without naming a missing DLL:\n"
                      "${output}${errors}")
endif()
