# The Windows program's tests run on the build machine: checks of the .exe
# as built, everywhere, and the end-to-end tests under Wine (label "wine").
find_package(Python3 REQUIRED COMPONENTS Interpreter)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(qj570_wine_arch win64)
  set(qj570_pe_machine x86-64)
else()
  set(qj570_wine_arch win32)
  set(qj570_pe_machine i386)
endif()

add_test(NAME pe_check
  COMMAND Python3::Interpreter ${CMAKE_CURRENT_SOURCE_DIR}/pe_check.py
          $<TARGET_FILE:qj570-rs232> ${qj570_pe_machine})
set_tests_properties(pe_check PROPERTIES LABELS pe)

add_test(NAME wine_e2e
  COMMAND Python3::Interpreter ${CMAKE_CURRENT_SOURCE_DIR}/e2e/wine_e2e_test.py
          $<TARGET_FILE:qj570-rs232> ${CMAKE_BINARY_DIR}/wineprefix ${qj570_wine_arch})
set_tests_properties(wine_e2e PROPERTIES
  LABELS wine
  TIMEOUT 600
  ENVIRONMENT "QJ570_SCREENSHOTS=${CMAKE_BINARY_DIR}/screenshots")
