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

# One ctest entry per test program; the program runs under the Wine runner.
function(kv_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  kv_warnings(${name})
  target_link_libraries(${name} PRIVATE ${T_LIBS} kv_test_main)
  add_test(NAME ${name} COMMAND ${name})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 600)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT})
endfunction()
