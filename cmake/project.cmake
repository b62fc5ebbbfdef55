# Flags and helpers shared by every target of the project.

# The library's headers are compiled with these, in the tree and in every program that
# uses the installed package (cmake/install.cmake).
set(KV_WIN32_DEFINITIONS UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0A00)
add_compile_definitions(${KV_WIN32_DEFINITIONS})

if(MINGW)
  # Every program runs on a bare Windows: no MinGW run-time DLLs.
  add_link_options(-static -static-libgcc -static-libstdc++)
endif()

# Headers are included as "toolkit/...", "components/...", "sim/...": from the source
# tree in the build, from include/kvbt under an installed package's prefix.
function(kv_include_root target)
  target_include_directories(${target} PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
                                              $<INSTALL_INTERFACE:include/kvbt>)
endfunction()

# Our own code builds without warnings.
function(kv_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra)
  endif()
endfunction()

# One ctest entry per test program; the program (target NAME_test) runs under the
# Wine runner.
function(kv_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  set(target ${name}_test)
  add_executable(${target} ${T_SOURCES})
  kv_warnings(${target})
  target_link_libraries(${target} PRIVATE ${T_LIBS} kv_test_main)
  add_test(NAME ${name} COMMAND ${target})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 600)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT})
endfunction()
