# The whole system booted in a QEMU guest (deploy/guest/lib.sh, no KVM): drives,
# the metadata service, a second boot, the disk image, the panel over HTTPS
# and SSH at the metadata's address; and power cuts while seedcfg writes.
# Label "guest"; skipped in the sanitizer build, whose programs need the
# sanitizers' runtime that the guest does not carry.
if(SANITIZE)
  add_test(NAME guest_boot_test COMMAND sh -c "echo 'not in the sanitizer build'; exit 77")
  set_tests_properties(guest_boot_test PROPERTIES SKIP_RETURN_CODE 77 LABELS guest)
  add_test(NAME guest_powercut_test COMMAND sh -c "echo 'not in the sanitizer build'; exit 77")
  set_tests_properties(guest_powercut_test PROPERTIES SKIP_RETURN_CODE 77 LABELS guest)
else()
  add_test(NAME guest_boot_test
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/guest_boot_test.sh ${CMAKE_BINARY_DIR}
            ${CMAKE_BINARY_DIR}/screenshots-guest)
  set_tests_properties(guest_boot_test PROPERTIES TIMEOUT 300 LABELS guest RUN_SERIAL TRUE)
  # Power cuts during provisioning: 40 by default, about 4 minutes.
  add_test(NAME guest_powercut_test
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/guest_powercut_test.sh ${CMAKE_BINARY_DIR})
  set_tests_properties(guest_powercut_test PROPERTIES TIMEOUT 600 LABELS guest RUN_SERIAL TRUE)
endif()
