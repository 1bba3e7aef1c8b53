# The Windows program's tests run on the build machine, under Wine.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
add_test(NAME wine_e2e
  COMMAND Python3::Interpreter ${CMAKE_CURRENT_SOURCE_DIR}/e2e/wine_e2e_test.py
          $<TARGET_FILE:qj570-rs232> ${CMAKE_BINARY_DIR}/wineprefix)
set_tests_properties(wine_e2e PROPERTIES
  TIMEOUT 600
  ENVIRONMENT "QJ570_SCREENSHOTS=${CMAKE_BINARY_DIR}/screenshots")
