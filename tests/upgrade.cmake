fw_add_qtest(tst_reply_stream SOURCES tst_reply_stream.cpp LIBS fwengine)
