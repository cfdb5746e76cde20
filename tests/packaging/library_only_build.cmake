# Builds the library as a packager does, in a build folder of its own: the
# preset, BUILD_TESTING=OFF, a Debug build, and no llvm-dlltool. Checks that
# the build makes the library and its release alone (no Ruxtrap.lib), that the
# installed tree holds the release without it, and that every compile unit of
# the library's own sources is DWARF 4, the version Wine's DbgHelp reads.
# Arguments: SOURCE_DIR OUT VERSION OBJDUMP CPACK
cmake_policy(VERSION 3.20)

include(${CMAKE_CURRENT_LIST_DIR}/run_command.cmake)

set(build ${OUT}/build)
file(REMOVE_RECURSE ${OUT})
run(${CMAKE_COMMAND} -S ${SOURCE_DIR} --preset x86 -B ${build} -G "Unix Makefiles"
    -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=Debug -DRUXTRAP_LLVM_DLLTOOL=OFF)
if(NOT run_output MATCHES "the release holds no Ruxtrap\\.lib")
  message(FATAL_ERROR "configure did not say that Ruxtrap.lib is left out:\n${run_output}")
endif()

run(${CMAKE_COMMAND} --build ${build} --parallel 2)
string(REGEX MATCHALL "Built target [^\n]+" built "${run_output}")
list(TRANSFORM built REPLACE "Built target " "")
list(SORT built)
if(NOT built STREQUAL "Ruxtrap;ruxtrap_core;ruxtrap_release")
  message(FATAL_ERROR "expected the targets Ruxtrap, ruxtrap_core and ruxtrap_release, built: ${built}")
endif()
foreach(folder tools bench tests googletest)
  if(EXISTS ${build}/${folder})
    message(FATAL_ERROR "the build without tests configured ${folder}/")
  endif()
endforeach()
file(GLOB programs RELATIVE ${build}/bin ${build}/bin/*)
if(NOT programs STREQUAL "Ruxtrap.dll")
  message(FATAL_ERROR "bin/ holds ${programs}, not Ruxtrap.dll alone")
endif()

run(${CMAKE_COMMAND} -DMODE=install -DBUILD_DIR=${build} -DOUT=${OUT} -DVERSION=${VERSION}
    -DOBJDUMP=${OBJDUMP} -DCPACK=${CPACK} -DSOURCE_DIR=${SOURCE_DIR} -DMSVC_IMPLIB=OFF
    -P ${CMAKE_CURRENT_LIST_DIR}/stage_package.cmake)

# Only the top entry of each compile unit: its version and its source file.
run(${OBJDUMP} --dwarf=info --dwarf-depth=1 ${build}/bin/Ruxtrap.dll)
string(REPLACE "Compilation Unit @" ";" units "${run_output}")
list(POP_FRONT units)
set(ours 0)
set(others)
foreach(unit IN LISTS units)
  string(REGEX MATCH "Version: +([0-9]+)" _ "${unit}")
  set(version ${CMAKE_MATCH_1})
  string(REGEX MATCH "DW_AT_name +:( \\([^)]*\\):)? ([^\n]+)" _ "${unit}")
  set(name ${CMAKE_MATCH_2})
  string(FIND "${name}" "${SOURCE_DIR}/src/" at)
  if(at EQUAL 0)
    math(EXPR ours "${ours} + 1")
    if(NOT version EQUAL 4)
      message(FATAL_ERROR "${name} is DWARF ${version} in the Debug build, not DWARF 4")
    endif()
  else()
    list(APPEND others "DWARF ${version}")
  endif()
endforeach()
if(ours LESS 30)
  message(FATAL_ERROR "found ${ours} compile units of ${SOURCE_DIR}/src in the Debug build's Ruxtrap.dll")
endif()
list(REMOVE_DUPLICATES others)
message(STATUS "targets built: ${built}; ${ours} units of the library, all DWARF 4; "
               "the toolchain's own units: ${others}")
