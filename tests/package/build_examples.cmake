# Builds the examples as a user builds them, from the installed package alone: installs
# the build in BUILD_DIR, copies the prefix to WORK_DIR/prefix and removes the install, so
# that nothing can lean on where it was made; then configures and builds the prefix's
# examples in WORK_DIR/examples with the same generator and build type, and with the
# prefix's own toolchain file when TOOLCHAIN_FILE names one. The programs carry no link
# option of their own. kvlist is built once more with the package's static run-time link
# turned off (WORK_DIR/examples-shared), for the runner's test. Last, no file of either
# build may name a path in SOURCE_DIR outside the build tree.
#   cmake -DBUILD_DIR=... -DWORK_DIR=... -DSOURCE_DIR=... -DGENERATOR=...
#         [-DTOOLCHAIN_FILE=...] [-DBUILD_TYPE=...] -P build_examples.cmake
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/run_step.cmake)

set(install ${WORK_DIR}/install)
set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${install} ${prefix} ${WORK_DIR}/examples ${WORK_DIR}/examples-shared)
kv_run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${install})
kv_run(${CMAKE_COMMAND} -E copy_directory ${install} ${prefix})
file(REMOVE_RECURSE ${install})

set(configure -S ${prefix}/share/kvbt/examples -G ${GENERATOR} -DCMAKE_PREFIX_PATH=${prefix})
if(TOOLCHAIN_FILE)
  get_filename_component(toolchain ${TOOLCHAIN_FILE} NAME)
  set(toolchain ${prefix}/share/kvbt/${toolchain})
  if(NOT EXISTS ${toolchain})
    message(FATAL_ERROR "the package has no toolchain file ${toolchain}")
  endif()
  list(APPEND configure -DCMAKE_TOOLCHAIN_FILE=${toolchain})
endif()
if(BUILD_TYPE)
  list(APPEND configure -DCMAKE_BUILD_TYPE=${BUILD_TYPE})
endif()
kv_run(${CMAKE_COMMAND} ${configure} -B ${WORK_DIR}/examples)
kv_run(${CMAKE_COMMAND} --build ${WORK_DIR}/examples)
kv_run(${CMAKE_COMMAND} ${configure} -B ${WORK_DIR}/examples-shared -DKVBT_STATIC_RUNTIME=OFF)
kv_run(${CMAKE_COMMAND} --build ${WORK_DIR}/examples-shared --target kvlist)

# The folders of the source tree, less the one that holds this build.
file(GLOB roots LIST_DIRECTORIES true ${SOURCE_DIR}/*)
set(forbidden)
foreach(root ${roots})
  string(FIND "${WORK_DIR}/" "${root}/" at)
  if(IS_DIRECTORY ${root} AND NOT at EQUAL 0)
    list(APPEND forbidden "${root}/")
  endif()
endforeach()
# Every file of both builds but programs, objects and archives: the build files, the
# compilers' dependency records and the configuration's list of its inputs among them.
file(GLOB_RECURSE files ${WORK_DIR}/examples/* ${WORK_DIR}/examples-shared/*)
list(FILTER files EXCLUDE REGEX "\\.(exe|obj|o|a)$")
foreach(file ${files})
  file(STRINGS ${file} text)
  foreach(root ${forbidden})
    string(FIND "${text}" "${root}" at)
    if(NOT at EQUAL -1)
      message(FATAL_ERROR "${file} names ${root}: the examples reached into the source tree")
    endif()
  endforeach()
endforeach()
