# Checks Ruxtrap.dll's tables: the one export under its plain name,
# imports of Windows system DLLs only (no GCC runtime DLL, no PSAPI), and no
# TLS directory.
cmake_policy(VERSION 3.20)
execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "objdump failed on ${DLL}")
endif()

string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table\n(\t[^\n]*\n)*" exports "${dump}")
string(REGEX MATCHALL "\\[ *[0-9]+\\] [^\n]+" exportNames "${exports}")
if(NOT exportNames MATCHES "^\\[ *0\\] InitRuxtrap$")
  message(FATAL_ERROR "expected the single export InitRuxtrap, found: ${exportNames}")
endif()

string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
set(allowed kernel32.dll user32.dll gdi32.dll advapi32.dll ole32.dll oleaut32.dll dbghelp.dll msvcrt.dll)
foreach(line IN LISTS imports)
  string(REPLACE "DLL Name: " "" name "${line}")
  string(TOLOWER "${name}" name)
  if(NOT name IN_LIST allowed)
    message(FATAL_ERROR "Ruxtrap.dll imports ${name}, which is not a Windows system DLL it may import")
  endif()
endforeach()
# No TLS directory: the loader would then refuse DisableThreadLibraryCalls and
# call into the library at every thread's start and end.
string(REGEX MATCH "Entry 9 [0-9a-fA-F]+ [0-9a-fA-F]+ Thread Storage Directory" tls "${dump}")
if(NOT tls MATCHES "^Entry 9 0+ 0+ ")
  message(FATAL_ERROR "Ruxtrap.dll has a TLS directory: ${tls}")
endif()
message(STATUS "export InitRuxtrap; imports: ${imports}; no TLS directory")
