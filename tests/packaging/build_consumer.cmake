# Configures and builds the consumer project as its own team would: a fresh
# build folder, the same cross toolchain, the installed package (moved) on the
# prefix path and nothing else of this build.
# Arguments: SOURCE BINARY PREFIX TOOLCHAIN OBJDUMP
cmake_policy(VERSION 3.20)
file(REMOVE_RECURSE ${BINARY})
# The package is used from a copy in a folder named the way Windows names
# install folders, blanks and parentheses: its files must find each other
# relative to themselves, and the build's commands must quote the names.
set(moved "${BINARY}-prefix/Program Files (x86)/Ruxtrap")
file(REMOVE_RECURSE "${BINARY}-prefix")
file(MAKE_DIRECTORY "${moved}")
file(COPY "${PREFIX}/" DESTINATION "${moved}")
foreach(step configure build)
  if(step STREQUAL "configure")
    set(command ${CMAKE_COMMAND} -S ${SOURCE} -B ${BINARY} -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN}
        "-DCMAKE_PREFIX_PATH=${moved}" -DCMAKE_BUILD_TYPE=Debug)
  else()
    set(command ${CMAKE_COMMAND} --build ${BINARY})
  endif()
  execute_process(COMMAND ${command} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  message("${out}")
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "consumer ${step} failed")
  endif()
endforeach()
# The program calls the export through its import table, not GetProcAddress.
execute_process(COMMAND ${OBJDUMP} -p ${BINARY}/consumer.exe OUTPUT_VARIABLE dump)
if(NOT dump MATCHES "DLL Name: Ruxtrap\\.dll\n[^\n]*\n[^\n]*InitRuxtrap\n")
  message(FATAL_ERROR "consumer.exe does not import InitRuxtrap from Ruxtrap.dll:\n${dump}")
endif()
if(NOT EXISTS ${BINARY}/Ruxtrap.dll)
  message(FATAL_ERROR "the package's Ruxtrap.dll was not copied beside consumer.exe")
endif()
