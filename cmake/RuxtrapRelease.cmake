# What a release of the library is made of, and how it is laid out:
#   bin/Ruxtrap.dll          stripped, with a debug link to
#   bin/Ruxtrap.dll.debug    its DWARF debug information, kept apart
#   include/ruxtrap.h
#   lib/libRuxtrap.dll.a     import library for MinGW
#   lib/Ruxtrap.lib          import library for the Microsoft toolchain and lld,
#                            made by llvm-dlltool (left out where there is none)
#   lib/cmake/Ruxtrap/       the package for find_package(Ruxtrap)
#   README.md, docs/         the front page and the reference pages
# `cmake --install` lays it out; `cpack` zips it as Ruxtrap-<version>-win32.zip.
if(RUXTRAP_STRIP)
  message(WARNING "RUXTRAP_STRIP builds Ruxtrap.dll without debug information: "
                  "Ruxtrap.dll.debug of this build's release holds none")
endif()
find_program(RUXTRAP_OBJCOPY i686-w64-mingw32-objcopy REQUIRED)
find_program(RUXTRAP_DLLTOOL i686-w64-mingw32-dlltool REQUIRED)
# RUXTRAP_LLVM_DLLTOOL=OFF builds without it, as if it were missing.
find_program(RUXTRAP_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14
  DOC "llvm-dlltool, which makes Ruxtrap.lib; OFF: no Ruxtrap.lib")
if(RUXTRAP_LLVM_DLLTOOL)
  set(RUXTRAP_MSVC_IMPLIB ON)
else()
  set(RUXTRAP_MSVC_IMPLIB OFF)
  message(NOTICE "No llvm-dlltool (RUXTRAP_LLVM_DLLTOOL): the release holds no Ruxtrap.lib, "
                 "the import library of the Microsoft toolchain, clang-cl and lld-link; "
                 "MinGW programs link libRuxtrap.dll.a as usual")
endif()

# The release files, made beside the build's own DLL (which keeps its debug
# information: the tests and the demo read it in place).
set(RUXTRAP_RELEASE_DIR ${CMAKE_BINARY_DIR}/release)
set(release_dll ${RUXTRAP_RELEASE_DIR}/Ruxtrap.dll)
set(release_debug ${RUXTRAP_RELEASE_DIR}/Ruxtrap.dll.debug)
add_custom_command(OUTPUT ${release_dll} ${release_debug}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${RUXTRAP_RELEASE_DIR}
  COMMAND ${RUXTRAP_OBJCOPY} --only-keep-debug $<TARGET_FILE:Ruxtrap> ${release_debug}
  # The link holds the debug file's name and checksum; debuggers and
  # llvm-symbolizer look for it beside the DLL.
  COMMAND ${RUXTRAP_OBJCOPY} --strip-all --add-gnu-debuglink=${release_debug} $<TARGET_FILE:Ruxtrap> ${release_dll}
  DEPENDS Ruxtrap
  COMMENT "Stripped Ruxtrap.dll and Ruxtrap.dll.debug")

# The import libraries come from the module-definition file the DLL is
# linked with (src/CMakeLists.txt), so they name exactly what it exports.
set(def_file ${PROJECT_SOURCE_DIR}/src/ruxtrap/Ruxtrap.def)
set(mingw_implib ${RUXTRAP_RELEASE_DIR}/libRuxtrap.dll.a)
set(implibs ${mingw_implib})
set(implib_commands
  COMMAND ${RUXTRAP_DLLTOOL} --kill-at -d ${def_file} -l ${mingw_implib})
if(RUXTRAP_MSVC_IMPLIB)
  set(msvc_implib ${RUXTRAP_RELEASE_DIR}/Ruxtrap.lib)
  list(APPEND implibs ${msvc_implib})
  list(APPEND implib_commands
    COMMAND ${RUXTRAP_LLVM_DLLTOOL} -m i386 --kill-at -d ${def_file} -l ${msvc_implib})
endif()
list(TRANSFORM implibs REPLACE ".*/" "" OUTPUT_VARIABLE implib_names)
list(JOIN implib_names " and " implib_names)
add_custom_command(OUTPUT ${implibs}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${RUXTRAP_RELEASE_DIR}
  ${implib_commands}
  DEPENDS ${def_file}
  COMMENT "Import libraries ${implib_names}")
add_custom_target(ruxtrap_release ALL DEPENDS ${release_dll} ${release_debug} ${implibs})

include(CMakePackageConfigHelpers)
set(RUXTRAP_BIN_DIR bin)
set(RUXTRAP_INCLUDE_DIR include)
set(RUXTRAP_LIB_DIR lib)
set(package_dir lib/cmake/Ruxtrap)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/RuxtrapConfig.cmake.in
  ${CMAKE_BINARY_DIR}/RuxtrapConfig.cmake
  INSTALL_DESTINATION ${package_dir}
  PATH_VARS RUXTRAP_BIN_DIR RUXTRAP_INCLUDE_DIR RUXTRAP_LIB_DIR)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/RuxtrapConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)

install(FILES ${release_dll} ${release_debug} DESTINATION bin)
install(FILES ${PROJECT_SOURCE_DIR}/include/ruxtrap.h DESTINATION include)
install(FILES ${implibs} DESTINATION lib)
install(FILES ${CMAKE_BINARY_DIR}/RuxtrapConfig.cmake ${CMAKE_BINARY_DIR}/RuxtrapConfigVersion.cmake
  DESTINATION ${package_dir})
# The README and its reference pages, which link to one another: the archive
# holds them all, so every link resolves in the unpacked folder too.
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION docs
  FILES_MATCHING PATTERN "*.md" PATTERN "*.png")

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME Ruxtrap)
set(CPACK_PACKAGE_VENDOR ${RUXTRAP_AUTHORS})
set(CPACK_PACKAGE_FILE_NAME Ruxtrap-${PROJECT_VERSION}-win32)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
include(CPack)
