# Fails when a file is larger than a limit: cmake -DFILE=<file> -DLIMIT=<bytes> -P check_size.cmake
file(SIZE "${FILE}" size)
if(size GREATER LIMIT)
  message(FATAL_ERROR "${FILE} is ${size} bytes, more than ${LIMIT}")
endif()
message(STATUS "${FILE}: ${size} bytes (at most ${LIMIT})")
