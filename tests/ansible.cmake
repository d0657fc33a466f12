# contrib/ansible: the fleet playbook run by ansible-playbook (Debian's ansible-core) with a
# local connection, two "sites" on this machine, encoder-sim instances on 127.0.0.1.
add_test(NAME ansible_fleet
    COMMAND bash ${PROJECT_SOURCE_DIR}/contrib/ansible/tests/run-test.sh
            $<TARGET_FILE:fwupgrade-cli> $<TARGET_FILE:encoder-sim>)
set_tests_properties(ansible_fleet PROPERTIES LABELS ansible TIMEOUT 180)
