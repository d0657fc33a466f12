fw_add_qtest(tst_window SOURCES tst_window.cpp window_fake_dialogs.h LIBS fwwindow)
fw_add_qtest(tst_window_image SOURCES tst_window_image.cpp window_fake_dialogs.h LIBS fwwindow)
