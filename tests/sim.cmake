# encoder-sim over loopback: replies byte for byte, the report, faults, bad options.
fw_add_qtest(tst_encoder_sim
    SOURCES tst_encoder_sim.cpp sim_test_client.h sim_test_client.cpp
    TIMEOUT 90)
