# For cmake -P scripts: kv_run(COMMAND...) runs one step and stops the script with the
# command line when the step fails.
function(kv_run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    string(REPLACE ";" " " command "${ARGN}")
    message(FATAL_ERROR "failed (${status}): ${command}")
  endif()
endfunction()
