# What the tests need beside the cross toolchain, found rather than assumed:
# GoogleTest built for the target (GTest::gtest, GTest::gtest_main) and
# Python 3 with pytest (Python3_EXECUTABLE). Only a build with BUILD_TESTING
# reads this file.

# GoogleTest for the target, 32-bit Windows: a build of it that a packager
# provides (GTest_DIR or the prefix path), else its sources, built here with
# the cross toolchain. The host's own libgtest cannot be linked.
find_package(GTest CONFIG QUIET)
if(GTest_FOUND)
  message(STATUS "GoogleTest: the package in ${GTest_DIR}")
else()
  # Host files, outside the toolchain's root: Debian's googletest package.
  find_path(RUXTRAP_GOOGLETEST_SOURCES NAMES googletest/src/gtest-all.cc
    PATHS /usr/src/googletest NO_CMAKE_FIND_ROOT_PATH
    DOC "GoogleTest's source tree, built for the tests when no GTest package for the target is found")
  if(NOT RUXTRAP_GOOGLETEST_SOURCES)
    message(FATAL_ERROR "The tests need GoogleTest built for 32-bit Windows (set GTest_DIR) or its "
      "sources (set RUXTRAP_GOOGLETEST_SOURCES; Debian's googletest package puts them in "
      "/usr/src/googletest). -DBUILD_TESTING=OFF builds the library without the tests.")
  endif()
  message(STATUS "GoogleTest: built from ${RUXTRAP_GOOGLETEST_SOURCES}")
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(${RUXTRAP_GOOGLETEST_SOURCES} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
endif()

# Python 3 runs the triage tool's tests (pytest) and the check of the docs'
# links. Unless Python3_EXECUTABLE names one, the first python3 on the path
# that has pytest is taken: another one earlier on the path (a pyenv shim, a
# virtual environment) may lack it.
function(ruxtrap_imports_pytest result python)
  execute_process(COMMAND ${python} -c "import pytest" RESULT_VARIABLE rc OUTPUT_QUIET ERROR_QUIET)
  if(NOT rc EQUAL 0)
    set(${result} FALSE PARENT_SCOPE)
  endif()
endfunction()
if(NOT Python3_EXECUTABLE)
  find_program(RUXTRAP_PYTEST_PYTHON NAMES python3 VALIDATOR ruxtrap_imports_pytest
    DOC "Python 3 with pytest, for the triage tool's tests")
  if(RUXTRAP_PYTEST_PYTHON)
    set(Python3_EXECUTABLE ${RUXTRAP_PYTEST_PYTHON})
  endif()
endif()
find_package(Python3 COMPONENTS Interpreter REQUIRED)
set(python_ok TRUE)
ruxtrap_imports_pytest(python_ok ${Python3_EXECUTABLE})
if(NOT python_ok)
  message(WARNING "${Python3_EXECUTABLE} has no pytest: triage_tests fail. "
                  "Install pytest for it or name another with -DPython3_EXECUTABLE=...")
endif()
