fw_add_qtest(tst_hostile_files SOURCES tst_hostile_files.cpp window_fixture.h window_fake_dialogs.h LIBS fwwindow)
