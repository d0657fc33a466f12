# The channel's non-blocking operations fwupgrade-cli is built on.
fw_add_qtest(tst_channel_async SOURCES tst_channel_async.cpp LIBS fwtestsupport)
# fwupgrade-cli in this process: its command line, hosts files, outputs and whole runs against
# encoder-sim on loopback.
fw_add_qtest(tst_cli SOURCES tst_cli.cpp LIBS fwcli fwtestsupport TIMEOUT 120)
# fwupgrade-cli as a program: exit statuses, signals, a terminal, pipes.
fw_add_qtest(tst_cli_program SOURCES tst_cli_program.cpp LIBS fwtestsupport TIMEOUT 120)
target_compile_definitions(tst_cli_program PRIVATE FWUPGRADE_CLI="$<TARGET_FILE:fwupgrade-cli>")
add_dependencies(tst_cli_program fwupgrade-cli)
# What fwupgrade-cli leaves behind, in this process: record paths, the image's identity, the
# history and --skip-done.
fw_add_qtest(tst_cli_records SOURCES tst_cli_records.cpp LIBS fwcli fwtestsupport TIMEOUT 120)
target_compile_definitions(tst_cli_records PRIVATE FWUPGRADE_VERSION="${PROJECT_VERSION}"
                           FWUPGRADE_CLI="$<TARGET_FILE:fwupgrade-cli>")
add_dependencies(tst_cli_records fwupgrade-cli)
