# What `cmake --install` puts where. Unix: the program in bin/, the manual page in
# share/man/man1/, README.md and LICENSE in share/doc/morvane/. Windows: morvane.exe, README.md
# and LICENSE side by side at the prefix root, as a zip users unpack anywhere.
include(GNUInstallDirs)

# The manual page takes the project's version; its date honours SOURCE_DATE_EPOCH, so a
# packaging run can pin it.
string(TIMESTAMP MORVANE_MAN_DATE "%Y-%m-%d" UTC)
set(MORVANE_MAN_PAGE ${PROJECT_BINARY_DIR}/doc/morvane.1)
configure_file(${PROJECT_SOURCE_DIR}/doc/morvane.1.in ${MORVANE_MAN_PAGE} @ONLY)

if(WIN32)
  install(TARGETS morvane RUNTIME DESTINATION . COMPONENT program)
  install(FILES README.md LICENSE DESTINATION . COMPONENT documentation)
else()
  install(TARGETS morvane RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT program)
  install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT documentation)
  install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT licence)
  install(FILES ${MORVANE_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT manual)
endif()
