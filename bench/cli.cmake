# fwupgrade-cli against fleets of 1 to 1,000 encoders served by one encoder-sim. Run by hand.
add_executable(bench_cli ${CMAKE_CURRENT_SOURCE_DIR}/bench_cli.cpp)
target_link_libraries(bench_cli PRIVATE fwimage Qt6::Core)
target_compile_definitions(bench_cli PRIVATE
    FWUPGRADE_CLI="$<TARGET_FILE:fwupgrade-cli>"
    ENCODER_SIM="$<TARGET_FILE:encoder-sim>")
add_dependencies(bench_cli fwupgrade-cli encoder-sim)
