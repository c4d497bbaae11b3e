# Restart and shutdown requests, in whole runs inside the test program with
# ExitWindowsEx and the token calls recorded instead of made.
set(power_cab ${KESTO_TEST_DATA}/power.cab)
add_custom_command(OUTPUT ${power_cab}
  COMMAND gcab --create ${power_cab} setup.bat
  WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/power_package
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/power_package/setup.bat
  VERBATIM)
add_custom_target(power_package DEPENDS ${power_cab})
kesto_add_wine_test(power_request_test SOURCES power_request_test.cpp DEPENDS power_package)
