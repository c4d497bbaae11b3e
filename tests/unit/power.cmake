# Restart and shutdown requests, in whole runs inside the test program with
# ExitWindowsEx and the token calls recorded instead of made.
set(power_cab ${KESTO_TEST_DATA}/power.cab)
set(power_reboot_cab ${KESTO_TEST_DATA}/power-reboot.cab)
add_custom_command(OUTPUT ${power_cab} ${power_reboot_cab}
  COMMAND gcab --create ${power_cab} setup.bat
  COMMAND gcab --create ${power_reboot_cab} setup.bat indicatereboot.dat
  WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/power_package
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/power_package/setup.bat
          ${CMAKE_CURRENT_SOURCE_DIR}/power_package/indicatereboot.dat
  VERBATIM)
add_custom_target(power_package DEPENDS ${power_cab} ${power_reboot_cab})
kesto_add_wine_test(power_request_test SOURCES power_request_test.cpp DEPENDS power_package)
