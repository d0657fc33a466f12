fw_add_qtest(tst_window SOURCES tst_window.cpp window_fixture.h window_fake_dialogs.h LIBS fwwindow)
fw_add_qtest(tst_window_image
    SOURCES tst_window_image.cpp window_fixture.h window_fake_dialogs.h LIBS fwwindow)
# What a screen reader reads of the window, its keys, and the program's command line.
fw_add_qtest(tst_window_access
    SOURCES tst_window_access.cpp window_fixture.h window_fake_dialogs.h LIBS fwwindow)
target_compile_definitions(tst_window_access PRIVATE FWUPGRADE_PROGRAM="$<TARGET_FILE:fwupgrade>")
add_dependencies(tst_window_access fwupgrade)
# The upgrade through the real window against encoder-sim.
set(upgrade_window_harness upgrade_window_harness.h upgrade_window_harness.cpp
    sim_test_client.h window_fake_dialogs.h)
fw_add_qtest(tst_upgrade_window
    SOURCES tst_upgrade_window.cpp local_machine.h upgrade_window_rows.h ${upgrade_window_harness}
    LIBS fwwindow TIMEOUT 90)
# Hostile encoders: the simulator's faults at every stage, data-driven, over three programs
# that ctest runs side by side.
foreach(program matrix endings hostile)
    fw_add_qtest(tst_upgrade_window_${program}
        SOURCES tst_upgrade_window_${program}.cpp upgrade_window_rows.h ${upgrade_window_harness}
        LIBS fwwindow TIMEOUT 90)
endforeach()
# What the operator does while an upgrade runs: input during the connect, closing mid-flash.
fw_add_qtest(tst_upgrade_window_operator
    SOURCES tst_upgrade_window_operator.cpp upgrade_window_rows.h channel_listener.cpp
            channel_listener.h ${upgrade_window_harness}
    LIBS fwwindow TIMEOUT 120)
# SIGTERM and SIGINT end the program with 0, as the package check expects.
fw_add_qtest(tst_upgrade_window_signals SOURCES tst_upgrade_window_signals.cpp LIBS fwwindow)
target_compile_definitions(tst_upgrade_window_signals
    PRIVATE FWUPGRADE_PROGRAM="$<TARGET_FILE:fwupgrade>")
add_dependencies(tst_upgrade_window_signals fwupgrade)
