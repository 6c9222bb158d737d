# The test suite for Windows: the same test programs as on Linux, cross-compiled and run under
# Wine by scripts/test-windows.sh. Included by tests/CMakeLists.txt (its directory scope) when
# cross-compiling. Two builds take part:
#  - the product build (win32 thread model) makes the DLL, our simulated machine, the tools
#    and the helper programs that tests start as child processes (they load the real DLL);
#  - the test build (posix thread model, for std::thread and friends) is configured with
#    QORASST_PRODUCT_BIN_DIR pointing at the product build's bin/ and makes the test programs
#    (target qor_windows_tests); their child processes are the product build's programs.
set(QORASST_PRODUCT_BIN_DIR "" CACHE PATH
    "bin/ of the Windows product build whose programs the tests start (test build only)")

# Windows has no signals. The helpers' "die" ends the process with exit code 128 + SIGKILL and
# the child runner reports that as SIGKILL, so tests keep the POSIX name for it.
set(QORASST_TEST_SIGNALS SIGKILL=9)

if(NOT QORASST_PRODUCT_BIN_DIR)
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/support/qor_child.cpp)
    add_executable(qor_child support/qor_child.cpp)
    target_link_libraries(qor_child PRIVATE QORasstW)
    target_include_directories(qor_child PRIVATE ${CMAKE_SOURCE_DIR}/include)
    target_compile_options(qor_child PRIVATE ${QORASST_WARNINGS})
    target_compile_definitions(qor_child PRIVATE ${QORASST_TEST_SIGNALS})
  endif()
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/support/qor_lockdie.cpp)
    add_executable(qor_lockdie support/qor_lockdie.cpp)
    target_link_libraries(qor_lockdie PRIVATE qor_core)
    target_compile_options(qor_lockdie PRIVATE ${QORASST_WARNINGS})
    target_compile_definitions(qor_lockdie PRIVATE ${QORASST_TEST_SIGNALS})
  endif()
  return()
endif()

# GoogleTest from Debian's sources, built with the same toolchain.
set(QORASST_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for the cross build")
if(NOT EXISTS ${QORASST_GTEST_SOURCE}/CMakeLists.txt)
  message(FATAL_ERROR "No GoogleTest sources in ${QORASST_GTEST_SOURCE}")
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)  # GoogleTest uses Win32 threads on Windows
add_subdirectory(${QORASST_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# Paths given to the tests at build time are read by Windows programs under Wine, which sees
# the host's file system as drive Z:.
set(QORASST_WINE_PRODUCT_BIN "Z:${QORASST_PRODUCT_BIN_DIR}")
set(QORASST_WINE_SOURCE "Z:${CMAKE_SOURCE_DIR}")

# Tests of POSIX code only, or driven by fork(); tests/win32 tests what only Windows has.
set(QORASST_POSIX_ONLY_TEST_SOURCES frame/attach_test.cpp platform/regfile_test.cpp
    disk/linux_disk_test.cpp
    realhw/realhw_test.cpp
    hostid/system_test.cpp)

# Support: the child-process runner has its own Windows implementation.
file(GLOB QORASST_SUPPORT_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/support/*.cpp)
list(FILTER QORASST_SUPPORT_SOURCES EXCLUDE REGEX "/support/(qor_child|qor_lockdie|child_posix)\\.cpp$")
add_library(qor_test_support STATIC ${QORASST_SUPPORT_SOURCES}
            ${CMAKE_CURRENT_SOURCE_DIR}/support/win32/child.cpp)
target_include_directories(qor_test_support PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}
                           ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/include
                           ${CMAKE_SOURCE_DIR}/sim)
target_link_libraries(qor_test_support PUBLIC qorsim_core GTest::gtest)
target_compile_options(qor_test_support PRIVATE ${QORASST_WARNINGS})
target_compile_definitions(qor_test_support PUBLIC QOR_BIN_DIR="${QORASST_WINE_PRODUCT_BIN}"
                           ${QORASST_TEST_SIGNALS})

file(GLOB QORASST_TEST_DIRS LIST_DIRECTORIES true ${CMAKE_CURRENT_SOURCE_DIR}/*)
set(QORASST_WINDOWS_TESTS "")
foreach(dir ${QORASST_TEST_DIRS})
  get_filename_component(name ${dir} NAME)
  if(NOT IS_DIRECTORY ${dir} OR name STREQUAL "support" OR name STREQUAL "data")
    continue()
  endif()
  file(GLOB sources CONFIGURE_DEPENDS ${dir}/*.cpp)
  foreach(posix_only ${QORASST_POSIX_ONLY_TEST_SOURCES})
    list(REMOVE_ITEM sources ${CMAKE_CURRENT_SOURCE_DIR}/${posix_only})
  endforeach()
  if(NOT sources)
    continue()
  endif()
  set(target qor_${name}_tests)
  # QOR_BIN_DIR (the Wine path of the product programs) comes with qor_test_support.
  qor_add_test_program(${target} ${QORASST_WINE_SOURCE} ${sources})
  list(APPEND QORASST_WINDOWS_TESTS ${target})
endforeach()
# Our "netstat", which scripts/test-windows.sh puts where the library runs it from (the system
# and the Windows folder), and a planted one beside the test programs, which it must never run.
add_executable(netstat ${CMAKE_CURRENT_SOURCE_DIR}/support/win32/netstat.cpp)
target_compile_options(netstat PRIVATE ${QORASST_WARNINGS})
set_target_properties(netstat PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin/system)
add_executable(netstat_planted ${CMAKE_CURRENT_SOURCE_DIR}/support/win32/netstat.cpp)
target_compile_options(netstat_planted PRIVATE ${QORASST_WARNINGS})
target_compile_definitions(netstat_planted PRIVATE QOR_NETSTAT_PLANTED)
set_target_properties(netstat_planted PROPERTIES OUTPUT_NAME netstat)
add_custom_target(qor_windows_tests DEPENDS ${QORASST_WINDOWS_TESTS} netstat netstat_planted)

# The list of test programs for scripts/test-windows.sh.
string(REPLACE ";" "\n" QORASST_WINDOWS_TEST_LIST "${QORASST_WINDOWS_TESTS}")
file(WRITE ${CMAKE_BINARY_DIR}/windows-tests.txt "${QORASST_WINDOWS_TEST_LIST}\n")
