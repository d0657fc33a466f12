# The upgrade through the real window against encoder-sim; run by hand (offscreen).
add_executable(bench_upgrade ${CMAKE_CURRENT_SOURCE_DIR}/bench_upgrade.cpp)
target_link_libraries(bench_upgrade PRIVATE fwwindowharness)
target_compile_definitions(bench_upgrade PRIVATE ENCODER_SIM_PROGRAM="$<TARGET_FILE:encoder-sim>")
add_dependencies(bench_upgrade encoder-sim)
