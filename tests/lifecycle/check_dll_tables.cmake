# Checks Ruxtrap.dll's tables: the one export under its plain name,
# imports of Windows system DLLs only (no GCC runtime DLL; PSAPI, COM and
# DBGHELP are bound at run time), and no TLS directory.
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
set(allowed kernel32.dll user32.dll gdi32.dll advapi32.dll msvcrt.dll)
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

# The tables of platform calls the crash path calls through are constant
# data in .rdata, and no writable copy of them is built in.
execute_process(COMMAND ${OBJDUMP} -h -t ${DLL} OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "objdump -h -t failed on ${DLL}")
endif()
string(REGEX MATCH " +([0-9]+) \\.rdata " rdata "${symbols}")
math(EXPR rdataSection "${CMAKE_MATCH_1} + 1")
string(REGEX MATCHALL "\\(sec +[0-9]+\\)[^\n]* __ZN7ruxtrap12_GLOBAL__N_1L1[0-9]kReal(Platform|Finish)E" tables "${symbols}")
list(LENGTH tables tableCount)
string(REGEX MATCH "SYMBOL TABLE:\n[^\n]*no symbols" stripped "${symbols}")
if(stripped)
  # The shipped, stripped DLL: its build's unstripped twin is checked.
  message(STATUS "export InitRuxtrap; imports: ${imports}; no TLS directory")
  return()
endif()
if(tableCount LESS 5)
  message(FATAL_ERROR "expected the five tables of platform calls among the symbols, found: ${tables}")
endif()
foreach(table IN LISTS tables)
  if(NOT table MATCHES "^\\(sec +${rdataSection}\\)")
    message(FATAL_ERROR "a table of platform calls lies outside .rdata: ${table}")
  endif()
endforeach()
if(symbols MATCHES "The(Lifecycle|Describe|Probe|DxDiag)Platform|TheReportFinish|UnsealedOptionalCalls")
  message(FATAL_ERROR "Ruxtrap.dll carries a writable table of platform calls (${CMAKE_MATCH_0})")
endif()
message(STATUS "export InitRuxtrap; imports: ${imports}; no TLS directory; ${tableCount} tables in .rdata")
