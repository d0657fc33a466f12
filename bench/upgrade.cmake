# The upgrade through the real window against encoder-sim; run by hand (offscreen).
add_executable(bench_upgrade
    ${CMAKE_CURRENT_SOURCE_DIR}/bench_upgrade.cpp
    ${CMAKE_SOURCE_DIR}/tests/upgrade_window_harness.h
    ${CMAKE_SOURCE_DIR}/tests/upgrade_window_harness.cpp
    ${CMAKE_SOURCE_DIR}/tests/window_fake_dialogs.h)
target_include_directories(bench_upgrade PRIVATE ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(bench_upgrade PRIVATE fwwindow Qt6::Test)
target_compile_definitions(bench_upgrade PRIVATE ENCODER_SIM_PROGRAM="$<TARGET_FILE:encoder-sim>")
add_dependencies(bench_upgrade encoder-sim)
