# CPack: `cpack -G DEB` in a Linux release build makes morvane_<version>_<arch>.deb,
# `cpack -G ZIP` in the Windows build makes morvane-<version>-win64.zip. Both take the version
# from project(). scripts/package.sh builds both and checks the .deb with lintian.
set(MORVANE_PACKAGE_CONTACT "The Morvane authors <morvane@example.org>"
    CACHE STRING "Maintainer named in the Debian package (name <address>)")

set(CPACK_PACKAGE_NAME morvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Morvane authors")
set(CPACK_PACKAGE_CONTACT ${MORVANE_PACKAGE_CONTACT})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "byte-level patches for one binary file")
# Lines of at most 79 characters: the Debian control file indents them by one.
set(CPACK_PACKAGE_DESCRIPTION
    "Morvane compares an original and a patched file of the same size and writes\n"
    "a patch of change blocks (offset, old bytes, new bytes) with an optional\n"
    "message. It applies a patch only after checking that the target is exactly\n"
    "the file the patch was made for, undoes it with --reverse, and can package a\n"
    "patch with its own executable into a self-applying patch.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
    GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR DEB)
  include(${CMAKE_CURRENT_LIST_DIR}/debian/debian.cmake)
endif()

include(CPack)
