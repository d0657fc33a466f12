# encoder-sim over loopback: replies byte for byte, the report, faults, bad options.
fw_add_qtest(tst_encoder_sim SOURCES tst_encoder_sim.cpp LIBS fwtestsupport TIMEOUT 90)
