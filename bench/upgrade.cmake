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
# From an encoder's vanishing to the reported loss, per stage, in a network namespace of its
# own (127.0.0.1 only); run by hand, as root or where user namespaces are allowed.
add_executable(bench_vanish
    ${CMAKE_CURRENT_SOURCE_DIR}/bench_vanish.cpp
    ${CMAKE_SOURCE_DIR}/tests/private_network.h
    ${CMAKE_SOURCE_DIR}/tests/private_network.cpp
    ${CMAKE_SOURCE_DIR}/tests/upgrade_test_support.h
    ${CMAKE_SOURCE_DIR}/tests/upgrade_test_support.cpp
    ${CMAKE_SOURCE_DIR}/tests/vanishing_encoder.h
    ${CMAKE_SOURCE_DIR}/tests/vanishing_encoder.cpp)
target_include_directories(bench_vanish PRIVATE ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(bench_vanish PRIVATE fwengine Qt6::Network Qt6::Test)
target_compile_definitions(bench_vanish PRIVATE ENCODER_SIM_PROGRAM="$<TARGET_FILE:encoder-sim>")
add_dependencies(bench_vanish encoder-sim)
