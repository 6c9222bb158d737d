# Shared part of the mingw-w64 toolchain files. QORASST_MINGW_TRIPLE names the target.
set(CMAKE_SYSTEM_NAME Windows)

# The win32 thread model: the GCC runtime then rests on the Win32 API of NT 4.0 and the 95
# family alone (the posix model drags in winpthread, which needs far newer Windows). Its
# price is that std::thread is missing; the platform layer's threads serve instead.
foreach(lang_tool C:gcc CXX:g++)
  string(REPLACE ":" ";" pair ${lang_tool})
  list(GET pair 0 lang)
  list(GET pair 1 tool)
  find_program(QORASST_MINGW_${lang} NAMES ${QORASST_MINGW_TRIPLE}-${tool}-win32
                                            ${QORASST_MINGW_TRIPLE}-${tool} REQUIRED)
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
