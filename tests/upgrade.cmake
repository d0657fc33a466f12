fw_add_qtest(tst_reply_stream SOURCES tst_reply_stream.cpp LIBS fwengine)
fw_add_qtest(tst_upgrade_monitor
    SOURCES tst_upgrade_monitor.cpp local_machine.h upgrade_test_support.h upgrade_test_support.cpp
    LIBS fwengine Qt6::Network)
