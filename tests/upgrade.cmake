fw_add_qtest(tst_reply_stream SOURCES tst_reply_stream.cpp LIBS fwengine)
fw_add_qtest(tst_transfer_rate SOURCES tst_transfer_rate.cpp LIBS fwengine)
fw_add_qtest(tst_upgrade_monitor SOURCES tst_upgrade_monitor.cpp LIBS fwtestsupport)
# One encoder's whole upgrade through the session, against encoder-sim and a loopback encoder.
fw_add_qtest(tst_upgrade_session SOURCES tst_upgrade_session.cpp LIBS fwtestsupport TIMEOUT 120)
