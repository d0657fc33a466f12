fw_add_qtest(tst_window SOURCES tst_window.cpp LIBS fwwindowharness)
fw_add_qtest(tst_window_image SOURCES tst_window_image.cpp LIBS fwwindowharness)
# What a screen reader reads of the window, its keys, and the program's command line.
fw_add_qtest(tst_window_access SOURCES tst_window_access.cpp LIBS fwwindowharness)
target_compile_definitions(tst_window_access PRIVATE FWUPGRADE_PROGRAM="$<TARGET_FILE:fwupgrade>")
add_dependencies(tst_window_access fwupgrade)
# The upgrade through the real window against encoder-sim.
fw_add_qtest(tst_upgrade_window SOURCES tst_upgrade_window.cpp LIBS fwwindowharness TIMEOUT 90)
# Hostile encoders: the simulator's faults at every stage, data-driven, over three programs
# that ctest runs side by side.
foreach(program matrix endings hostile)
    fw_add_qtest(tst_upgrade_window_${program}
        SOURCES tst_upgrade_window_${program}.cpp LIBS fwwindowharness TIMEOUT 90)
endforeach()
# What the operator does while an upgrade runs: input during the connect, closing mid-flash.
fw_add_qtest(tst_upgrade_window_operator
    SOURCES tst_upgrade_window_operator.cpp LIBS fwwindowharness TIMEOUT 120)
# SIGTERM and SIGINT end the program with 0, as the package check expects.
fw_add_qtest(tst_upgrade_window_signals SOURCES tst_upgrade_window_signals.cpp LIBS fwwindowharness)
target_compile_definitions(tst_upgrade_window_signals
    PRIVATE FWUPGRADE_PROGRAM="$<TARGET_FILE:fwupgrade>")
add_dependencies(tst_upgrade_window_signals fwupgrade)
