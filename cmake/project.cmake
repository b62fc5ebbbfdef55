# Flags and helpers shared by every target of the project.

add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0A00)

if(MINGW)
  # Every program runs on a bare Windows: no MinGW run-time DLLs.
  add_link_options(-static -static-libgcc -static-libstdc++)
endif()

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
