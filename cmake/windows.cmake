# The Windows build of the library and of our simulated machine's hardware libraries.
# Included by src/CMakeLists.txt when building for Windows.

# Written as the system's own target: the NT 4.0 and Windows 95 family API.
target_compile_definitions(qor_objects PRIVATE _WIN32_WINNT=0x0400 WINVER=0x0400)
target_compile_definitions(QORasstW PRIVATE _WIN32_WINNT=0x0400 WINVER=0x0400)

# No exceptions in the library (it answers result codes): without them the runtime's unwinder
# is not linked in, and with it the lock the win32 thread model makes with CreateSemaphoreW,
# which the 95 family does not implement.
target_compile_options(qor_objects PRIVATE -fno-exceptions)
target_compile_options(QORasstW PRIVATE -fno-exceptions)
# Winsock 1.1 for the host's addresses.
target_link_libraries(qor_core PUBLIC wsock32)
target_link_libraries(QORasstW PRIVATE wsock32)

# QORasstW.dll, not libQORasstW.dll.
set_target_properties(QORasstW PROPERTIES PREFIX "")

# The version resource (file version, product name, description) from the project's version.
configure_file(${CMAKE_SOURCE_DIR}/src/platform/win32/QORasstW.rc.in
               ${CMAKE_CURRENT_BINARY_DIR}/QORasstW.rc @ONLY)
target_sources(QORasstW PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/QORasstW.rc)

# Exports: the undecorated C names of the .def that the code implements.
set(QORASST_DEF_TEMPLATE ${CMAKE_SOURCE_DIR}/src/platform/win32/QORasstW.def)
set(QORASST_DEF ${CMAKE_CURRENT_BINARY_DIR}/QORasstW.def)
add_dependencies(QORasstW qor_core)
add_custom_command(TARGET QORasstW PRE_LINK
  COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DARCHIVE=$<TARGET_FILE:qor_core>
          -DTEMPLATE=${QORASST_DEF_TEMPLATE} -DOUTPUT=${QORASST_DEF}
          -P ${CMAKE_SOURCE_DIR}/cmake/windows-exports.cmake
  VERBATIM)
target_link_options(QORasstW PRIVATE ${QORASST_DEF})
set_property(TARGET QORasstW APPEND PROPERTY LINK_DEPENDS ${QORASST_DEF_TEMPLATE})

# The closed hardware libraries are imported through import libraries made from our own
# declarations, never from whichever build of them happens to be in the tree.
find_program(QORASST_DLLTOOL NAMES ${CMAKE_DLLTOOL} ${QORASST_MINGW_TRIPLE}-dlltool REQUIRED)
set(QORASST_HW_IMPORTS "")
foreach(lib kelbW tavrW)
  set(def ${CMAKE_SOURCE_DIR}/src/platform/win32/${lib}.def)
  set(implib ${CMAKE_CURRENT_BINARY_DIR}/lib${lib}_import.a)
  add_custom_command(OUTPUT ${implib}
    COMMAND ${QORASST_DLLTOOL} -d ${def} -D ${lib}.dll -l ${implib}
    DEPENDS ${def} VERBATIM)
  add_custom_target(qor_${lib}_import DEPENDS ${implib})
  add_dependencies(QORasstW qor_${lib}_import)
  list(APPEND QORASST_HW_IMPORTS ${implib})
endforeach()
get_target_property(QORASST_DLL_LIBS QORasstW LINK_LIBRARIES)
list(REMOVE_ITEM QORASST_DLL_LIBS kelbW tavrW)
set_property(TARGET QORasstW PROPERTY LINK_LIBRARIES ${QORASST_DLL_LIBS} ${QORASST_HW_IMPORTS})

# Our simulated machine builds as kelbW.dll and tavrW.dll with exactly the vendor's exports,
# and is in place next to the library whenever the library is.
foreach(lib kelbW tavrW)
  if(TARGET ${lib})
    get_target_property(type ${lib} TYPE)
    if(type STREQUAL "SHARED_LIBRARY")
      set_target_properties(${lib} PROPERTIES PREFIX "")
      set(def ${CMAKE_SOURCE_DIR}/sim/win32/${lib}.def)
      set_property(TARGET ${lib} APPEND PROPERTY LINK_OPTIONS ${def})
      set_property(TARGET ${lib} APPEND PROPERTY LINK_DEPENDS ${def})
      add_dependencies(QORasstW ${lib})
    endif()
  endif()
endforeach()
