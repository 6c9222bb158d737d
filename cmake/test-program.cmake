# One test program from the sources of a tests/<name>/ directory, linked with the library's
# code, the simulated machine and the test support. source_root is the source tree as the
# program sees it when it runs (for Windows programs under Wine, a Z: path).
function(qor_add_test_program target source_root)
  add_executable(${target} ${ARGN})
  target_link_libraries(${target} PRIVATE qor_core qor_test_support qorsim_core
                        GTest::gtest GTest::gtest_main GTest::gmock)
  target_compile_options(${target} PRIVATE ${QORASST_WARNINGS})
  target_compile_definitions(${target} PRIVATE QOR_SOURCE_DIR="${source_root}"
                             QOR_TEST_DATA_DIR="${source_root}/tests/data"
                             QORASST_VERSION="${PROJECT_VERSION}")
endfunction()
