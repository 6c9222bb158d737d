# Shared part of the mingw-w64 toolchain files. QORASST_MINGW_TRIPLE names the target.
set(CMAKE_SYSTEM_NAME Windows)

# Thread model of the GCC runtime. The product is built with win32: the runtime then rests on
# the Win32 API of NT 4.0 and the 95 family alone (posix drags in winpthread, which needs far
# newer Windows). The test programs need the full C++ thread library and are built with
# posix (winpthread linked in statically); they are not shipped.
set(QORASST_MINGW_THREADS win32 CACHE STRING "Thread model of the mingw-w64 GCC (win32 or posix)")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QORASST_MINGW_THREADS)
foreach(lang_tool C:gcc CXX:g++)
  string(REPLACE ":" ";" pair ${lang_tool})
  list(GET pair 0 lang)
  list(GET pair 1 tool)
  find_program(QORASST_MINGW_${lang}
               NAMES ${QORASST_MINGW_TRIPLE}-${tool}-${QORASST_MINGW_THREADS} REQUIRED)
  set(CMAKE_${lang}_COMPILER ${QORASST_MINGW_${lang}})
endforeach()
set(CMAKE_RC_COMPILER ${QORASST_MINGW_TRIPLE}-windres)
set(CMAKE_DLLTOOL ${QORASST_MINGW_TRIPLE}-dlltool)

set(CMAKE_FIND_ROOT_PATH /usr/${QORASST_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every binary carries its own copy of the GCC runtime; the C runtime stays msvcrt.dll, so
# memory the library allocates can be released with the caller's free().
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++ -static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++ -static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++ -static")
