# The Windows program's manifest and version information, as resources compiled by the
# toolchain's windres (MinGW) or rc (MSVC). The version comes from project(), the copyright
# line from LICENSE. Neither windres nor the linker writes a time stamp, so the build stays
# reproducible; a self-applying patch carries both, being a copy of the program.
enable_language(RC)
file(STRINGS ${PROJECT_SOURCE_DIR}/LICENSE MORVANE_COPYRIGHT REGEX "^Copyright" LIMIT_COUNT 1)
set(MORVANE_VERSION_COMMAS ${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR})
foreach(part PATCH TWEAK)
  if(PROJECT_VERSION_${part} STREQUAL "")
    string(APPEND MORVANE_VERSION_COMMAS ",0")
  else()
    string(APPEND MORVANE_VERSION_COMMAS ",${PROJECT_VERSION_${part}}")
  endif()
endforeach()
set(MORVANE_MANIFEST ${PROJECT_SOURCE_DIR}/src/app/windows/morvane.manifest)
configure_file(${PROJECT_SOURCE_DIR}/src/app/windows/morvane.rc.in
               ${PROJECT_BINARY_DIR}/morvane.rc @ONLY)
target_sources(morvane PRIVATE ${PROJECT_BINARY_DIR}/morvane.rc)
set_property(SOURCE ${PROJECT_BINARY_DIR}/morvane.rc APPEND PROPERTY OBJECT_DEPENDS
             ${MORVANE_MANIFEST})
if(MSVC)
  # The MSVC linker would add a manifest of its own beside this one (untested here).
  target_link_options(morvane PRIVATE /MANIFEST:NO)
endif()
