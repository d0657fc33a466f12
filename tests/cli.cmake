# fwupgrade-cli against encoder-sim instances on loopback, and the channel's non-blocking
# operations it is built on.
fw_add_qtest(tst_channel_async
    SOURCES tst_channel_async.cpp channel_listener.cpp channel_listener.h
    LIBS fwengine)
fw_add_qtest(tst_cli
    SOURCES tst_cli.cpp channel_listener.cpp channel_listener.h sim_test_client.h
    LIBS fwengine Qt6::Network
    TIMEOUT 120)
target_compile_definitions(tst_cli PRIVATE FWUPGRADE_CLI="$<TARGET_FILE:fwupgrade-cli>")
add_dependencies(tst_cli fwupgrade-cli)
