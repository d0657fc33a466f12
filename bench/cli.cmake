# fwupgrade-cli's run, in this process, against fleets of 1 to 1,000 encoders served by one
# encoder-sim. Run by hand.
add_executable(bench_cli ${CMAKE_CURRENT_SOURCE_DIR}/bench_cli.cpp)
target_link_libraries(bench_cli PRIVATE fwcli fwtestsupport)
target_compile_definitions(bench_cli PRIVATE ENCODER_SIM="$<TARGET_FILE:encoder-sim>")
add_dependencies(bench_cli encoder-sim)
