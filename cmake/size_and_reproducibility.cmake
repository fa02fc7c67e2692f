# The shipped program's size and reproducible builds. Included from CMakeLists.txt once the
# program's targets exist; everything here applies to release builds of those targets.
#
# Every self-applying patch carries a copy of the executable, so the Windows build is made for
# size, and the Linux build must not grow. Two builds of one commit give the same bytes wherever
# the checkout lies: no source or build folder reaches the binary, and the Windows linker writes
# no time stamp (its PE checksum is then the same too). scripts/check-reproducible.sh shows it.

set(MORVANE_SHIPPED_TARGETS morvane morvane_core morvane_platform)
set(MORVANE_RELEASE $<CONFIG:Release>)

# Every flag below is one that GCC-style drivers (GCC, Clang, MinGW) take; MSVC and clang-cl
# build with their own defaults.
if(NOT MORVANE_GCC_STYLE)
  return()
endif()

foreach(target IN LISTS MORVANE_SHIPPED_TARGETS)
  target_compile_options(${target} PRIVATE
    $<${MORVANE_RELEASE}:-ffile-prefix-map=${PROJECT_SOURCE_DIR}/=>
    $<${MORVANE_RELEASE}:-ffile-prefix-map=${PROJECT_BINARY_DIR}/=>
    $<${MORVANE_RELEASE}:-ffunction-sections -fdata-sections>)
endforeach()
target_link_options(morvane PRIVATE $<${MORVANE_RELEASE}:-Wl,--gc-sections>)

if(WIN32)
  # The stripped static morvane.exe (GCC 12.2, mingw-w64 10), in bytes: 195,584 at -O3;
  # 186,368 at -Os; 182,272 with unused sections collected; 136,192 without the runtime's
  # verbose terminate handler (quiet_terminate.cpp); 113,152 without printf's formatting engine
  # (block lines and temporary names are written without it). Later code for crash safety and
  # dense patches brought it to 129,024; the program throws no exception (-fno-exceptions,
  # 125,440), and the runtime's own throw helpers abort at once (quiet_terminate.cpp), which
  # keeps the exception machinery out: 87,040. Wide names and long paths (without std::wstring,
  # whose runtime functions would add some 20 KB), the manifest and version information
  # (about 2 KB of resources) and the double-click rule: 93,696. The exception machinery crept
  # back in through operator new, the string functions' catch blocks and thread-safe statics
  # (some 12 KB); quiet_terminate.cpp and -fno-threadsafe-statics keep it out again (the
  # console handler, the one other thread, touches no function-local static).
  foreach(target IN LISTS MORVANE_SHIPPED_TARGETS)
    target_compile_options(${target} PRIVATE $<${MORVANE_RELEASE}:-Os -fno-exceptions -fno-threadsafe-statics>)
  endforeach()
  target_link_options(morvane PRIVATE -Wl,--no-insert-timestamp)
  target_sources(morvane PRIVATE src/services/quiet_terminate.cpp)
else()
  # The program throws no exception, so it needs no unwinding tables for its own code.
  # -O2 rather than -O3: the hot loops compare with memcmp and 8-byte words, and -O3's extra
  # unrolling bought no measurable speed for 3 KB of code. The code that reads and writes PE
  # headers runs once per start or packaging and is made for size.
  foreach(target IN LISTS MORVANE_SHIPPED_TARGETS)
    target_compile_options(${target} PRIVATE $<${MORVANE_RELEASE}:-O2 -fno-exceptions>)
  endforeach()
  set_source_files_properties(src/package/pe_image.cpp src/package/unsigned_image.cpp
                              PROPERTIES COMPILE_OPTIONS $<${MORVANE_RELEASE}:-Os>)
endif()
