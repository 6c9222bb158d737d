# Installation and packages, from the one version of project().
#   Linux:   cmake --install (header, libQORasstW.so.<major>, our libkelbW.so/libtavrW.so, the
#            tools, the docs, a CMake package and a pkg-config file); cpack -G DEB.
#   Windows: cpack -G ZIP, the release zip (DLL, .def, import libraries for mingw and MSVC).
include(GNUInstallDirs)
set(QORASST_DOCS ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/docs/usage.md
    ${CMAKE_SOURCE_DIR}/docs/machine.md ${CMAKE_SOURCE_DIR}/docs/windows.md
    ${CMAKE_SOURCE_DIR}/docs/decisions.md)
install(FILES ${CMAKE_SOURCE_DIR}/include/QORasstW.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

if(WIN32)
  install(TARGETS QORasstW qorasst qorsim RUNTIME DESTINATION bin ARCHIVE DESTINATION lib)
  # Our kelbW.dll/tavrW.dll serve the simulated machine only. Beside an application they
  # would stand in for the vendor's, so they ship apart, to be copied where a simulated
  # machine is wanted.
  install(TARGETS kelbW tavrW RUNTIME DESTINATION sim)
  set(exports_def ${CMAKE_BINARY_DIR}/src/QORasstW.def)  # written by the DLL's link
  install(FILES ${exports_def} DESTINATION lib)
  # MSVC-style import libraries, made from the .def files like the mingw ones.
  find_program(QORASST_LLVM_DLLTOOL NAMES llvm-dlltool-14 llvm-dlltool)
  if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
    set(machine i386:x86-64)
  else()
    set(machine i386)
  endif()
  set(QORASST_IMPLIBS "")
  foreach(lib QORasstW kelbW tavrW)
    if(lib STREQUAL "QORasstW")
      set(def ${exports_def})
    else()
      set(def ${CMAKE_SOURCE_DIR}/src/platform/win32/${lib}.def)
      install(FILES ${CMAKE_BINARY_DIR}/src/lib${lib}_import.a DESTINATION lib
              RENAME lib${lib}.dll.a)
    endif()
    set(implib ${CMAKE_BINARY_DIR}/${lib}.lib)
    if(QORASST_LLVM_DLLTOOL)
      set(make_lib ${QORASST_LLVM_DLLTOOL} -m ${machine} -d ${def} -D ${lib}.dll -l ${implib})
    else()
      set(make_lib ${QORASST_DLLTOOL} -d ${def} -D ${lib}.dll -l ${implib})
    endif()
    add_custom_command(OUTPUT ${implib} COMMAND ${make_lib} DEPENDS ${def} QORasstW VERBATIM)
    list(APPEND QORASST_IMPLIBS ${implib})
    install(FILES ${implib} DESTINATION lib)
  endforeach()
  add_custom_target(qor_msvc_import_libs ALL DEPENDS ${QORASST_IMPLIBS})
  install(FILES ${QORASST_DOCS} DESTINATION doc)

  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win32)
  if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
    set(CPACK_SYSTEM_NAME win64)
  endif()
else()
  include(CMakePackageConfigHelpers)
  # The tools find the library in the installed lib directory, wherever the tree is put.
  file(RELATIVE_PATH bin_to_lib /${CMAKE_INSTALL_BINDIR} /${CMAKE_INSTALL_LIBDIR})
  set_target_properties(qorasst qorsim PROPERTIES INSTALL_RPATH "$ORIGIN/${bin_to_lib}")
  set_target_properties(QORasstW PROPERTIES INSTALL_RPATH "$ORIGIN")
  install(TARGETS QORasstW kelbW tavrW EXPORT QORasstWTargets
          LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
          INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  install(TARGETS qorasst qorsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${QORASST_DOCS} DESTINATION ${CMAKE_INSTALL_DOCDIR})

  set(cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/QORasstW)
  install(EXPORT QORasstWTargets NAMESPACE QORasstW:: DESTINATION ${cmake_dir})
  file(WRITE ${CMAKE_BINARY_DIR}/QORasstWConfig.cmake
       "include(\${CMAKE_CURRENT_LIST_DIR}/QORasstWTargets.cmake)\n")
  write_basic_package_version_file(${CMAKE_BINARY_DIR}/QORasstWConfigVersion.cmake
                                   COMPATIBILITY SameMajorVersion)
  install(FILES ${CMAKE_BINARY_DIR}/QORasstWConfig.cmake
          ${CMAKE_BINARY_DIR}/QORasstWConfigVersion.cmake DESTINATION ${cmake_dir})
  file(RELATIVE_PATH pc_to_prefix /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
  string(REGEX REPLACE "/$" "" pc_to_prefix ${pc_to_prefix})
  configure_file(${CMAKE_SOURCE_DIR}/cmake/QORasstW.pc.in ${CMAKE_BINARY_DIR}/QORasstW.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/QORasstW.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_PACKAGE_NAME qorasstw)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "QORasstW maintainers")
endif()

set(CPACK_PACKAGE_NAME QORasstW)
set(CPACK_PACKAGE_VENDOR "QORasstW")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Hardware-asset inventory library for desktop PCs")
set(CPACK_PACKAGE_FILE_NAME "QORasstW-${PROJECT_VERSION}-${CPACK_SYSTEM_NAME}")
set(CPACK_STRIP_FILES ON)  # the packages carry no debug information
include(CPack)
