# Lays the release out the way a user gets it and checks what is there:
#   MODE=install  `cmake --install` of the build into OUT/install
#   MODE=zip      `cpack` of the build, the archive unpacked into OUT/unzipped
# Both trees must hold exactly the release files, the DLL stripped and linked
# to its separate debug file, and the README with every page of docs/.
# Arguments: MODE BUILD_DIR OUT VERSION OBJDUMP CPACK SOURCE_DIR MSVC_IMPLIB
# (MSVC_IMPLIB: whether the build made Ruxtrap.lib.)
cmake_policy(VERSION 3.20)

include(${CMAKE_CURRENT_LIST_DIR}/run_command.cmake)

if(MODE STREQUAL "install")
  set(tree ${OUT}/install)
  file(REMOVE_RECURSE ${tree})
  run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${tree})
elseif(MODE STREQUAL "zip")
  set(packages ${OUT}/packages)
  set(zip ${packages}/Ruxtrap-${VERSION}-win32.zip)
  file(REMOVE_RECURSE ${packages} ${OUT}/unzipped)
  run(${CPACK} --config ${BUILD_DIR}/CPackConfig.cmake -B ${packages})
  if(NOT EXISTS ${zip})
    file(GLOB made ${packages}/*)
    message(FATAL_ERROR "cpack made ${made}, not ${zip}")
  endif()
  file(MAKE_DIRECTORY ${OUT}/unzipped)
  run(${CMAKE_COMMAND} -E chdir ${OUT}/unzipped ${CMAKE_COMMAND} -E tar xf ${zip})
  # The archive holds one folder named after it.
  set(tree ${OUT}/unzipped/Ruxtrap-${VERSION}-win32)
else()
  message(FATAL_ERROR "MODE must be install or zip")
endif()

file(GLOB_RECURSE found RELATIVE ${tree} ${tree}/*)
list(SORT found)
# The pages are read from the source tree as the test runs: a page added to
# docs/ must reach the archive too.
file(GLOB pages RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/docs/*.md)
set(expected
  README.md
  bin/Ruxtrap.dll
  bin/Ruxtrap.dll.debug
  docs/message-box.png
  ${pages}
  include/ruxtrap.h
  lib/cmake/Ruxtrap/RuxtrapConfig.cmake
  lib/cmake/Ruxtrap/RuxtrapConfigVersion.cmake
  lib/libRuxtrap.dll.a)
if(MSVC_IMPLIB)
  list(APPEND expected lib/Ruxtrap.lib)
endif()
list(SORT expected)
foreach(page docs/report-format.md docs/debug-information.md)
  if(NOT page IN_LIST pages)
    message(FATAL_ERROR "${SOURCE_DIR} lacks ${page}, which the archive's user needs")
  endif()
endforeach()
if(NOT found STREQUAL expected)
  message(FATAL_ERROR "${tree} holds\n  ${found}\nexpected\n  ${expected}")
endif()

# Section headers of the shipped DLL and of its debug file.
run(${OBJDUMP} -h ${tree}/bin/Ruxtrap.dll)
set(dll_sections "${run_output}")
run(${OBJDUMP} -h ${tree}/bin/Ruxtrap.dll.debug)
set(debug_sections "${run_output}")
if(dll_sections MATCHES "\\.debug_")
  message(FATAL_ERROR "the shipped Ruxtrap.dll carries debug sections:\n${dll_sections}")
endif()
if(NOT dll_sections MATCHES "\\.gnu_debuglink" OR NOT dll_sections MATCHES "\\.rsrc")
  message(FATAL_ERROR "the shipped Ruxtrap.dll lacks its debug link or its version resource:\n${dll_sections}")
endif()
if(NOT debug_sections MATCHES "\\.debug_info" OR NOT debug_sections MATCHES "\\.debug_line")
  message(FATAL_ERROR "Ruxtrap.dll.debug lacks DWARF sections:\n${debug_sections}")
endif()
run(${OBJDUMP} -s -j .gnu_debuglink ${tree}/bin/Ruxtrap.dll)
if(NOT run_output MATCHES "Ruxtrap\\.dll\\.d")
  message(FATAL_ERROR "the debug link does not name Ruxtrap.dll.debug:\n${run_output}")
endif()
message(STATUS "${tree}: ${found}")
