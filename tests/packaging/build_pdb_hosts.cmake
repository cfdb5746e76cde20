# Builds the two PDB hosts against the unpacked release archive (its header
# and Ruxtrap.lib), each with the archive's Ruxtrap.dll beside it:
#   pdb_host   clang for MinGW targets, CodeView, lld writing the PDB;
#   msvc_host  clang for the Microsoft ABI, lld-link as the Microsoft linker.
# -pdbaltpath:%_PDB% records the PDB by its file name alone, as release builds
# do, so it is looked for beside the program rather than at a build path.
# Arguments: SOURCE_DIR PACKAGE OUT CLANG LLD_LINK GCC_LIB_DIR
cmake_policy(VERSION 3.20)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  string(REPLACE ";" " " line "${ARGN}")
  message("${line}\n${out}")
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc})")
  endif()
endfunction()

file(REMOVE_RECURSE ${OUT})
foreach(host pdb_host msvc_host)
  file(MAKE_DIRECTORY ${OUT}/${host})
  file(COPY ${PACKAGE}/bin/Ruxtrap.dll DESTINATION ${OUT}/${host})
endforeach()

run(${CLANG} --target=i686-w64-windows-gnu -O0 -gcodeview -g -Wall -Wextra -I${PACKAGE}/include
    ${SOURCE_DIR}/pdb_host.c ${PACKAGE}/lib/Ruxtrap.lib
    -fuse-ld=lld -Wl,--pdb=${OUT}/pdb_host/pdb_host.pdb -Wl,--Xlink=-pdbaltpath:%_PDB%
    -L${GCC_LIB_DIR} -o ${OUT}/pdb_host/pdb_host.exe)

run(${CLANG} --target=i686-pc-windows-msvc -O0 -gcodeview -g -Wall -Wextra -I${PACKAGE}/include
    -c ${SOURCE_DIR}/msvc_host.c -o ${OUT}/msvc_host/msvc_host.obj)
run(${LLD_LINK} /nologo /nodefaultlib /entry:HostStart /subsystem:console /debug
    /pdb:${OUT}/msvc_host/msvc_host.pdb /pdbaltpath:%_PDB%
    ${OUT}/msvc_host/msvc_host.obj ${PACKAGE}/lib/Ruxtrap.lib /out:${OUT}/msvc_host/msvc_host.exe)
