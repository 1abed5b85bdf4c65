# The hardening a Linux distribution builds its packages with: fortified libc calls, stack
# protection, and a read-only relocation table bound at start (relro, bind-now). The flags
# come from dpkg-buildflags with every hardening feature on, where it is installed, else
# from the same list written out. Debug builds (no optimisation, so no fortify) and the
# sanitizer and fuzz builds are left as they are. The flags reach the tool's own code and
# binary through the interface library cairnfix_hardening, not the tests.
option(CAIRNFIX_HARDENING "Build with the distribution's hardening flags (Linux)" ON)
add_library(cairnfix_hardening INTERFACE)
if(NOT CAIRNFIX_HARDENING OR NOT CMAKE_SYSTEM_NAME STREQUAL "Linux" OR CAIRNFIX_SANITIZE
   OR CAIRNFIX_FUZZ OR CMAKE_BUILD_TYPE STREQUAL "Debug")
  return()
endif()

set(hardening_compile -D_FORTIFY_SOURCE=2 -fstack-protector-strong)
set(hardening_link -Wl,-z,relro -Wl,-z,now)
find_program(DPKG_BUILDFLAGS_EXECUTABLE dpkg-buildflags)
if(DPKG_BUILDFLAGS_EXECUTABLE)
  # Only the hardening part of the distribution's flags: the optimisation level, the
  # debug information and the warnings stay the project's own.
  foreach(kind CPPFLAGS CXXFLAGS LDFLAGS)
    execute_process(COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
                            ${DPKG_BUILDFLAGS_EXECUTABLE} --get ${kind}
                    OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed)
    if(failed)
      message(WARNING "dpkg-buildflags --get ${kind} failed: the built-in hardening flags are used")
      break()
    endif()
    separate_arguments(flags UNIX_COMMAND "${flags}")
    list(FILTER flags INCLUDE REGEX "^(-D_FORTIFY_SOURCE=|-fstack-|-fcf-|-Wl,-z,)")
    set(dpkg_${kind} ${flags})
  endforeach()
  if(NOT failed)
    set(hardening_compile ${dpkg_CPPFLAGS} ${dpkg_CXXFLAGS})
    set(hardening_link ${dpkg_LDFLAGS})
  endif()
endif()
# A compiler that defines _FORTIFY_SOURCE itself would otherwise warn of a redefinition.
target_compile_options(cairnfix_hardening INTERFACE -U_FORTIFY_SOURCE ${hardening_compile})
target_link_options(cairnfix_hardening INTERFACE ${hardening_link})
list(JOIN hardening_compile " " shown_compile)
list(JOIN hardening_link " " shown_link)
message(STATUS "Hardening: ${shown_compile} ${shown_link}")
