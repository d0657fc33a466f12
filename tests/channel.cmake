fw_add_qtest(tst_channel SOURCES tst_channel.cpp LIBS fwtestsupport)
