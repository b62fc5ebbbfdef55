# Installs the build in BUILD_DIR into WORK_DIR/prefix, emptied first so that only what
# the install puts there is found, then configures and builds EXAMPLES_DIR against it in
# WORK_DIR/examples with the same generator, toolchain and build type.
#   cmake -DBUILD_DIR=... -DWORK_DIR=... -DEXAMPLES_DIR=... -DGENERATOR=...
#         [-DTOOLCHAIN_FILE=...] [-DBUILD_TYPE=...] -P build_examples.cmake
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/run_step.cmake)

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${prefix})
kv_run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

set(configure -S ${EXAMPLES_DIR} -B ${WORK_DIR}/examples -G ${GENERATOR}
              -DCMAKE_PREFIX_PATH=${prefix})
if(TOOLCHAIN_FILE)
  list(APPEND configure -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN_FILE})
endif()
if(BUILD_TYPE)
  list(APPEND configure -DCMAKE_BUILD_TYPE=${BUILD_TYPE})
endif()
kv_run(${CMAKE_COMMAND} ${configure})
kv_run(${CMAKE_COMMAND} --build ${WORK_DIR}/examples)
