# Starts or stops the Wine server of the test prefix: cmake -DACTION=start|stop
# -DWINE=<loader> -DWINESERVER=<server> -DWINEPREFIX=<prefix> -P wine_session.cmake
#
# ctest waits until every process that holds a test's output pipe has ended. A server started
# by a test would hold it until it exits, three seconds after its last client, so every test
# would pay a fresh server start and that wait. Started here, with no pipe of ctest's, the
# server and Wine's background services serve every test and end with the stop step (or a
# minute after the last test when the run is interrupted).
foreach(variable ACTION WINE WINESERVER WINEPREFIX)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "${variable} is not set")
  endif()
endforeach()
set(ENV{WINEPREFIX} "${WINEPREFIX}")
set(ENV{WINEDEBUG} "-all")
set(ENV{WINEDLLOVERRIDES} "mscoree,mshtml=")

# A server left behind by an earlier run may have another lifetime; replace it.
execute_process(COMMAND ${WINESERVER} -k INPUT_FILE /dev/null OUTPUT_QUIET ERROR_QUIET)
execute_process(COMMAND ${WINESERVER} -w INPUT_FILE /dev/null OUTPUT_QUIET ERROR_QUIET)
if(ACTION STREQUAL "stop")
  return()
endif()

execute_process(COMMAND ${WINESERVER} -p60 INPUT_FILE /dev/null OUTPUT_FILE /dev/null
                ERROR_FILE /dev/null RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "wineserver -p60 failed: ${result}")
endif()
# The first program of a session starts Wine's services; let them start here.
execute_process(COMMAND ${WINE} cmd.exe /c exit 0 INPUT_FILE /dev/null OUTPUT_FILE /dev/null
                ERROR_FILE /dev/null RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "Wine cannot run programs in ${WINEPREFIX}: ${result}")
endif()
