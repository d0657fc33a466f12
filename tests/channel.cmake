fw_add_qtest(tst_channel
    SOURCES tst_channel.cpp local_machine.h channel_listener.cpp channel_listener.h
    LIBS fwengine)
