# Cross build for 64-bit Windows with mingw-w64: keeps the code clean for that target, and
# runs the Windows tests on hosts that cannot execute 32-bit x86 code.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QORASST_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
