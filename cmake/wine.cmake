# Runs the Windows test programs under Wine when cross compiling from a Unix host. Wine gets a
# prefix of its own inside the build folder, made once by a build step, so test runs neither
# depend on nor touch the user's own prefix and no test pays for the prefix's start-up.
#
# Sets MORVANE_WINE_PREFIX and the target morvane_wine_prefix (empty when Wine is not used).
set(MORVANE_WINE_PREFIX "")
if(NOT (CMAKE_CROSSCOMPILING AND WIN32 AND CMAKE_HOST_UNIX))
  return()
endif()
if(DEFINED CMAKE_CROSSCOMPILING_EMULATOR AND NOT CMAKE_CROSSCOMPILING_EMULATOR STREQUAL "")
  return() # chosen by the user
endif()

find_program(MORVANE_WINE NAMES wine64 wine PATHS /usr/lib/wine /usr/lib64/wine
             /opt/wine-stable/bin DOC "Wine loader that runs the Windows tests")
find_program(MORVANE_WINESERVER NAMES wineserver wineserver64 PATHS /usr/lib/wine
             /usr/lib64/wine /opt/wine-stable/bin DOC "Wine server of that loader")
if(NOT MORVANE_WINE OR NOT MORVANE_WINESERVER)
  message(FATAL_ERROR "Wine is needed to run the Windows tests (apt-get install wine64)")
endif()

set(MORVANE_WINE_PREFIX ${CMAKE_BINARY_DIR}/wine-prefix)
# No debug chatter; no offer to install Mono or Gecko into the fresh prefix.
set(MORVANE_WINE_ENVIRONMENT WINEPREFIX=${MORVANE_WINE_PREFIX} WINEDEBUG=-all
    WINEDLLOVERRIDES=mscoree,mshtml=)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_COMMAND} -E env ${MORVANE_WINE_ENVIRONMENT}
    ${MORVANE_WINE})

add_custom_command(
  OUTPUT ${MORVANE_WINE_PREFIX}/system.reg
  COMMAND ${CMAKE_COMMAND} -E env ${MORVANE_WINE_ENVIRONMENT} ${MORVANE_WINE} wineboot -i
  # wineboot returns before the server has saved the registry; wait for it.
  COMMAND ${CMAKE_COMMAND} -E env ${MORVANE_WINE_ENVIRONMENT} ${MORVANE_WINESERVER} -w
  COMMENT "Creating the Wine prefix for the tests (once)"
  VERBATIM)
add_custom_target(morvane_wine_prefix DEPENDS ${MORVANE_WINE_PREFIX}/system.reg)
