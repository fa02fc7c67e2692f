# The Debian package: control fields, and the files Debian policy asks for beyond what
# `cmake --install` puts in place. They belong to the component "debian", which a plain
# install leaves out: the manual page compressed with gzip -9n (instead of the plain one), the
# machine-readable copyright file (which holds the licence text, so LICENSE stays out) and
# the changelog a native package has.
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_COMPONENTS_ALL program documentation debian)

set(debian_dir ${PROJECT_BINARY_DIR}/debian)

# The licence text of LICENSE (from "Permission" on), indented as the copyright format wants:
# one space before every line, " ." for an empty one.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence)
string(FIND "${licence}" "Permission is hereby granted" start)
string(SUBSTRING "${licence}" ${start} -1 licence)
string(STRIP "${licence}" licence)
string(REPLACE "\n\n" "\n.\n" licence "${licence}")
string(REPLACE "\n" "\n " MORVANE_LICENSE_PARAGRAPHS " ${licence}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/copyright.in ${debian_dir}/copyright @ONLY)

# The date honours SOURCE_DATE_EPOCH, like the manual page's.
string(TIMESTAMP MORVANE_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${CMAKE_CURRENT_LIST_DIR}/changelog.in ${debian_dir}/changelog.source @ONLY)

# Debian wants both compressed with gzip -9n: no name and no time stamp in the header.
find_program(MORVANE_GZIP gzip REQUIRED)
function(morvane_debian_gzip source name)
  add_custom_command(
    OUTPUT ${debian_dir}/${name}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${source} ${debian_dir}/${name}
    COMMAND ${MORVANE_GZIP} -9nf ${debian_dir}/${name}
    DEPENDS ${source}
    COMMENT "Compressing ${name} for the Debian package"
    VERBATIM)
endfunction()
morvane_debian_gzip(${MORVANE_MAN_PAGE} morvane.1)
morvane_debian_gzip(${debian_dir}/changelog.source changelog)
add_custom_target(morvane_debian_files ALL
                  DEPENDS ${debian_dir}/morvane.1.gz ${debian_dir}/changelog.gz)

install(FILES ${debian_dir}/morvane.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
        COMPONENT debian EXCLUDE_FROM_ALL)
install(FILES ${debian_dir}/copyright ${debian_dir}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT debian EXCLUDE_FROM_ALL)
