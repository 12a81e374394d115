# SPDX-License-Identifier: GPL-3.0-or-later
# The shipped bus policy on a bus with Debian's default-deny system policy, and the agent's
# watcher under the systemd unit's capability set.
add_executable(tst_policy_client tst_policy_client.cpp)
target_link_libraries(tst_policy_client PRIVATE Qt::Core Qt::DBus)
kvo_add_sandbox_test(tst_policy JOURNAL SOURCES tst_policy.cpp LIBS kvo-testsupport DEPENDS tst_policy_client)
target_compile_definitions(tst_policy PRIVATE
    KVO_POLICY_FILE="${PROJECT_SOURCE_DIR}/data/com.corvid.serviceandsupport.conf"
    KVO_UNIT_FILE="${PROJECT_BINARY_DIR}/data/kvo-service-support-agent.service"
    KVO_POLICY_CLIENT="$<TARGET_FILE:tst_policy_client>")

add_test(NAME tst_policy_package
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/tst_policy_package.sh ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR})
set_tests_properties(tst_policy_package PROPERTIES SKIP_RETURN_CODE 77 LABELS package RUN_SERIAL TRUE
                     FIXTURES_SETUP kvo-deb)

# The unit's exposure as systemd rates it offline (0-100 here: 20 is the 2.0 it prints).
add_test(NAME tst_unit_exposure
         COMMAND systemd-analyze security --offline=yes --threshold=20 ${PROJECT_BINARY_DIR}/data/kvo-service-support-agent.service)
set_tests_properties(tst_unit_exposure PROPERTIES LABELS unit)
