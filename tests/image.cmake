fw_add_qtest(tst_image SOURCES tst_image.cpp LIBS fwimage)
