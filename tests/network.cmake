# Real network faults, each program in a network namespace of its own that it makes itself
# (127.0.0.1 only): nftables drops packets, tbf slows the link. `ctest -L network` runs them;
# where no namespace can be made they are reported as skipped, with the reason.
function(fw_add_network_test name)
    cmake_parse_arguments(T "" "TIMEOUT;FUNCTION_TIMEOUT" "SOURCES;LIBS" ${ARGN})
    fw_add_qtest(${name} SOURCES ${T_SOURCES} LIBS ${T_LIBS} TIMEOUT ${T_TIMEOUT}
        FUNCTION_TIMEOUT ${T_FUNCTION_TIMEOUT})
    set_tests_properties(${name} PROPERTIES LABELS network
        SKIP_REGULAR_EXPRESSION "no private network: ")
endfunction()

# An encoder that vanishes at each stage, outages survived, lost header segments, failed
# connects, a quiet one.
fw_add_network_test(tst_network_faults
    SOURCES tst_network_faults.cpp LIBS fwtestsupport TIMEOUT 300 FUNCTION_TIMEOUT 120)
# The largest image over 1 Mbit/s and 256 kbit/s links: about 2 min 45 s, mostly waiting.
fw_add_network_test(tst_network_slow_link
    SOURCES tst_network_slow_link.cpp LIBS fwtestsupport TIMEOUT 420 FUNCTION_TIMEOUT 300)
# Started first: it is mostly waiting, and the rest of the suite runs beside it.
set_tests_properties(tst_network_slow_link PROPERTIES COST 1000)
# The window: the encoder vanishes during its erase, and Memo5 says the connection is lost.
fw_add_network_test(tst_network_window
    SOURCES tst_network_window.cpp LIBS fwwindowharness TIMEOUT 90)
