fw_add_qtest(tst_reply_stream SOURCES tst_reply_stream.cpp LIBS fwengine)
fw_add_qtest(tst_upgrade_monitor
    SOURCES tst_upgrade_monitor.cpp local_machine.h upgrade_test_support.h upgrade_test_support.cpp
    LIBS fwengine Qt6::Network)
# One encoder's whole upgrade through the session, against encoder-sim and a loopback encoder.
fw_add_qtest(tst_upgrade_session
    SOURCES tst_upgrade_session.cpp upgrade_test_support.h upgrade_test_support.cpp
            sim_test_client.h
    LIBS fwengine Qt6::Network TIMEOUT 120)
