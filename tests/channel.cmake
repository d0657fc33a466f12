fw_add_qtest(
    tst_channel SOURCES tst_channel.cpp channel_listener.cpp channel_listener.h LIBS fwengine)
