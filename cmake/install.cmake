# The installable package: `cmake --install` puts the headers (include/kvbt), the static
# libraries (lib) and a package configuration (lib/cmake/kvbt) under a prefix, so that
# another project writes
#   find_package(kvbt CONFIG REQUIRED)                 # kvbt::kvbt: toolkit and components
#   find_package(kvbt CONFIG REQUIRED COMPONENTS sim)  # and kvbt::sim, the simulated stack
# The simulated stack is the install component "sim"; the rest is "library"
# (`cmake --install build --component library` leaves the simulator out). Beside the
# configuration, share/kvbt holds what a cross-building user needs: the MinGW-w64
# toolchain file and the Wine runner that it names; with the simulator come its guide
# (share/kvbt/sim) and the examples (share/kvbt/examples). Whatever the prefix is copied
# or moved to, nothing in it points back to this tree.
include(CMakePackageConfigHelpers)

set(kv_units toolkit kvsysutils kvwin32 kvclasses kvbtw32 kvbt kvcommbox kvlogfile)

# The two targets a program links; the units behind them come along as kvbt::unit_NAME.
add_library(kvbt_library INTERFACE)
target_link_libraries(kvbt_library INTERFACE ${kv_units})
target_compile_definitions(kvbt_library INTERFACE ${KV_WIN32_DEFINITIONS})
target_compile_features(kvbt_library INTERFACE cxx_std_20)
add_library(kvbt_sim INTERFACE)
target_link_libraries(kvbt_sim INTERFACE kvsim kvbt_library)

set_target_properties(kvbt_library PROPERTIES EXPORT_NAME kvbt)
set_target_properties(kvbt_sim PROPERTIES EXPORT_NAME sim)
foreach(unit ${kv_units} kvsim)
  set_target_properties(${unit} PROPERTIES EXPORT_NAME unit_${unit})
endforeach()

set(config_dir lib/cmake/kvbt)

install(TARGETS ${kv_units} kvbt_library EXPORT kvbtTargets
        ARCHIVE DESTINATION lib COMPONENT library)
install(DIRECTORY toolkit components DESTINATION include/kvbt COMPONENT library
        FILES_MATCHING PATTERN "*.h")
install(EXPORT kvbtTargets NAMESPACE kvbt:: DESTINATION ${config_dir} COMPONENT library)
install(FILES cmake/mingw-w64-x86_64.cmake DESTINATION share/kvbt COMPONENT library)
install(PROGRAMS cmake/wine-run.sh DESTINATION share/kvbt COMPONENT library)

install(TARGETS kvsim kvbt_sim EXPORT kvbtSimTargets ARCHIVE DESTINATION lib COMPONENT sim)
install(FILES sim/sim.h sim/sim_peer_server.h sim/sim_world.h sim/sim_worldfile.h
        DESTINATION include/kvbt/sim COMPONENT sim)
install(FILES sim/README.md DESTINATION share/kvbt/sim COMPONENT sim)
install(DIRECTORY examples/ DESTINATION share/kvbt/examples COMPONENT sim)
install(EXPORT kvbtSimTargets NAMESPACE kvbt:: DESTINATION ${config_dir} COMPONENT sim)

configure_package_config_file(cmake/kvbtConfig.cmake.in
                              ${CMAKE_CURRENT_BINARY_DIR}/kvbtConfig.cmake
                              INSTALL_DESTINATION ${config_dir})
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kvbtConfig.cmake DESTINATION ${config_dir}
        COMPONENT library)
