# Warnings for every target; MORVANE_WERROR makes them errors (the presets and CI turn it on,
# so a user whose newer compiler warns about something new still gets a build). Flags only
# GCC-style drivers understand (GCC, Clang, MinGW) are given only to them; clang-cl and MSVC
# take their own.
#
# Sets MORVANE_GCC_STYLE for the link options in the top-level CMakeLists.txt.
set(MORVANE_GCC_STYLE OFF)
if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang"
   AND NOT CMAKE_CXX_COMPILER_FRONTEND_VARIANT STREQUAL "MSVC")
  set(MORVANE_GCC_STYLE ON)
  add_compile_options(-Wall -Wextra)
elseif(MSVC)
  add_compile_options(/W4)
  # One self-contained file, as the static MinGW build: a self-applying patch carries a copy.
  set(CMAKE_MSVC_RUNTIME_LIBRARY "MultiThreaded$<$<CONFIG:Debug>:Debug>")
endif()
# -Werror or /WX, whichever the compiler takes; `cmake --compile-no-warning-as-error` overrides.
set(CMAKE_COMPILE_WARNING_AS_ERROR ${MORVANE_WERROR})

if(MORVANE_SANITIZE)
  if(NOT MORVANE_GCC_STYLE)
    message(FATAL_ERROR "MORVANE_SANITIZE needs GCC or Clang")
  endif()
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
