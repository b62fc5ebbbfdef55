# Builds the parsers natively (this folder's project, replay engine) in WORK_DIR and
# replays the stored corpus of each through it.
#   cmake -DWORK_DIR=... -P replay.cmake
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    string(REPLACE ";" " " command "${ARGN}")
    message(FATAL_ERROR "failed (${status}): ${command}")
  endif()
endfunction()

set(here ${CMAKE_CURRENT_LIST_DIR})
if(NOT EXISTS ${WORK_DIR}/CMakeCache.txt)
  run(${CMAKE_COMMAND} -S ${here} -B ${WORK_DIR} -G Ninja -DCMAKE_CXX_COMPILER=g++
      -DKV_FUZZ_ENGINE=replay)
endif()
run(${CMAKE_COMMAND} --build ${WORK_DIR})
foreach(name form world)
  run(${WORK_DIR}/${name}_replay ${here}/corpus/${name})
endforeach()
