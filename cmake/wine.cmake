# Runs the Windows test programs under Wine when cross compiling from a Unix host. Wine gets a
# prefix of its own inside the build folder, made once by a build step, so test runs neither
# depend on nor touch the user's own prefix and no test pays for the prefix's start-up.
#
# Sets MORVANE_WINE_PREFIX and the target morvane_wine_prefix (empty when Wine is not used), and
# MORVANE_WINE_LAUNCHER, the command that runs a Windows program under Wine.
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

# Debian's Wine starts without a preloader, so it reserves its fixed addresses only once the
# kernel has laid out the process at random: now and then a start fails with "failed to map the
# shared user data" (c0000018) before the program runs (an exit status of 1 and no output, or
# ERROR_INTERNAL_ERROR from CreateProcess), about once in a few thousand starts. Run without
# address randomisation, which the processes Wine starts inherit, the layout is the same every
# time and that start-up never fails.
set(MORVANE_WINE_LAUNCHER ${CMAKE_BINARY_DIR}/wine-launcher)
find_program(MORVANE_SETARCH NAMES setarch DOC "Runs Wine without address randomisation")
if(MORVANE_SETARCH)
  set(launch "exec ${MORVANE_SETARCH} \"$(uname -m)\" -R ${MORVANE_WINE} \"$@\"")
else()
  set(launch "exec ${MORVANE_WINE} \"$@\"")
endif()
file(CONFIGURE OUTPUT ${MORVANE_WINE_LAUNCHER} CONTENT "#!/bin/sh\n${launch}\n" @ONLY)
file(CHMOD ${MORVANE_WINE_LAUNCHER} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
     GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(MORVANE_WINE_PREFIX ${CMAKE_BINARY_DIR}/wine-prefix)
# No debug chatter; no offer to install Mono or Gecko into the fresh prefix.
set(MORVANE_WINE_ENVIRONMENT WINEPREFIX=${MORVANE_WINE_PREFIX} WINEDEBUG=-all
    WINEDLLOVERRIDES=mscoree,mshtml=)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_COMMAND} -E env ${MORVANE_WINE_ENVIRONMENT}
    ${MORVANE_WINE_LAUNCHER})

add_custom_command(
  OUTPUT ${MORVANE_WINE_PREFIX}/system.reg
  COMMAND ${CMAKE_COMMAND} -E env ${MORVANE_WINE_ENVIRONMENT} ${MORVANE_WINE_LAUNCHER} wineboot -i
  # wineboot returns before the server has saved the registry; wait for it.
  COMMAND ${CMAKE_COMMAND} -E env ${MORVANE_WINE_ENVIRONMENT} ${MORVANE_WINESERVER} -w
  COMMENT "Creating the Wine prefix for the tests (once)"
  VERBATIM)
add_custom_target(morvane_wine_prefix DEPENDS ${MORVANE_WINE_PREFIX}/system.reg)
