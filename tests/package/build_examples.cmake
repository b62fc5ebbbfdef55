# Installs the build in BUILD_DIR into WORK_DIR/prefix, emptied first so that only what
# the install puts there is found, then configures and builds EXAMPLES_DIR against it in
# WORK_DIR/examples with the same generator, toolchain and build type.
#   cmake -DBUILD_DIR=... -DWORK_DIR=... -DEXAMPLES_DIR=... -DGENERATOR=...
#         [-DTOOLCHAIN_FILE=...] [-DBUILD_TYPE=...] -P build_examples.cmake
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    string(REPLACE ";" " " command "${ARGN}")
    message(FATAL_ERROR "failed (${status}): ${command}")
  endif()
endfunction()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${prefix})
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

set(configure -S ${EXAMPLES_DIR} -B ${WORK_DIR}/examples -G ${GENERATOR}
              -DCMAKE_PREFIX_PATH=${prefix})
if(TOOLCHAIN_FILE)
  list(APPEND configure -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN_FILE})
endif()
if(BUILD_TYPE)
  list(APPEND configure -DCMAKE_BUILD_TYPE=${BUILD_TYPE})
endif()
run(${CMAKE_COMMAND} ${configure})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/examples)
