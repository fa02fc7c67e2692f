# xxHash (Debian's libxxhash-dev) is used header-only: checksum.cpp compiles it in with
# XXH_INLINE_ALL, so neither the static Windows program nor the Debian package depends on the
# library at run time. The header is copied into the build folder, so that a cross build takes
# it without taking the host's other headers.
find_file(MORVANE_XXHASH_HEADER xxhash.h PATHS /usr/include /usr/local/include
          NO_CMAKE_FIND_ROOT_PATH NO_DEFAULT_PATH)
if(NOT MORVANE_XXHASH_HEADER)
  message(FATAL_ERROR "xxhash.h not found: install libxxhash-dev")
endif()
configure_file(${MORVANE_XXHASH_HEADER} ${PROJECT_BINARY_DIR}/xxhash/xxhash.h COPYONLY)
add_library(morvane_xxhash INTERFACE)
target_include_directories(morvane_xxhash SYSTEM INTERFACE ${PROJECT_BINARY_DIR}/xxhash)
