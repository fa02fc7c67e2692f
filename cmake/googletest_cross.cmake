# GoogleTest built from source with the project's own (cross) toolchain. Distribution packages
# ship only host libraries, so a Windows build compiles the sources itself; nothing is
# downloaded.
set(MORVANE_GOOGLETEST_SOURCE_DIR /usr/src/googletest
    CACHE PATH "GoogleTest sources, compiled with the project's toolchain when cross compiling")
if(NOT EXISTS ${MORVANE_GOOGLETEST_SOURCE_DIR}/CMakeLists.txt)
  message(FATAL_ERROR "No GoogleTest sources in ${MORVANE_GOOGLETEST_SOURCE_DIR} "
                      "(install googletest or set MORVANE_GOOGLETEST_SOURCE_DIR)")
endif()

set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${MORVANE_GOOGLETEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest
                 EXCLUDE_FROM_ALL SYSTEM)
include(CheckCXXSourceCompiles)
check_cxx_source_compiles("#include <mutex>\nstd::mutex m;\nint main() { return 0; }"
                          MORVANE_HAVE_STD_MUTEX)
if(NOT MORVANE_HAVE_STD_MUTEX)
  # MinGW-w64 "win32" thread model: GoogleTest gets a Notification that needs no std::mutex.
  foreach(library gtest gtest_main)
    target_include_directories(${library} BEFORE PUBLIC
                               ${CMAKE_CURRENT_LIST_DIR}/googletest-win32-threads)
  endforeach()
endif()

foreach(library gtest gtest_main)
  if(NOT TARGET GTest::${library})
    add_library(GTest::${library} ALIAS ${library})
  endif()
endforeach()
