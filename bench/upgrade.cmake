# The upgrade through the real window against encoder-sim; run by hand (offscreen).
add_executable(bench_upgrade ${CMAKE_CURRENT_SOURCE_DIR}/bench_upgrade.cpp)
target_link_libraries(bench_upgrade PRIVATE fwwindowharness)
target_compile_definitions(bench_upgrade PRIVATE ENCODER_SIM_PROGRAM="$<TARGET_FILE:encoder-sim>")
add_dependencies(bench_upgrade encoder-sim)
# From an encoder's vanishing to the reported loss, per stage, in a network namespace of its
# own (127.0.0.1 only); run by hand, as root or where user namespaces are allowed.
add_executable(bench_vanish ${CMAKE_CURRENT_SOURCE_DIR}/bench_vanish.cpp)
target_link_libraries(bench_vanish PRIVATE fwtestsupport Qt6::Test)
target_compile_definitions(bench_vanish PRIVATE ENCODER_SIM_PROGRAM="$<TARGET_FILE:encoder-sim>")
add_dependencies(bench_vanish encoder-sim)
