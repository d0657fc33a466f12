add_executable(bench_image ${CMAKE_CURRENT_SOURCE_DIR}/bench_image.cpp)
target_link_libraries(bench_image PRIVATE fwimage)
