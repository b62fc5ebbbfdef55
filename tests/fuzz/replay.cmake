# Builds the parsers natively (this folder's project, replay engine) in WORK_DIR and
# replays the stored corpus of each through it.
#   cmake -DWORK_DIR=... -P replay.cmake
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/run_step.cmake)

set(here ${CMAKE_CURRENT_LIST_DIR})
if(NOT EXISTS ${WORK_DIR}/CMakeCache.txt)
  kv_run(${CMAKE_COMMAND} -S ${here} -B ${WORK_DIR} -G Ninja -DCMAKE_CXX_COMPILER=g++
         -DKV_FUZZ_ENGINE=replay)
endif()
kv_run(${CMAKE_COMMAND} --build ${WORK_DIR})
foreach(name form world)
  kv_run(${WORK_DIR}/${name}_replay ${here}/corpus/${name})
endforeach()
