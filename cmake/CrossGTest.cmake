# SPDX-License-Identifier: MIT
# GoogleTest for the cross build: Debian ships it only as source (package googletest), so it is
# configured, built and installed once into the build tree with the same toolchain, and
# find_package(GTest) then finds that copy.
set(ID_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources to cross-build")
set(ID_GTEST_ROOT ${CMAKE_BINARY_DIR}/_googletest)
set(ID_GTEST_CONFIG ${ID_GTEST_ROOT}/install/lib/cmake/GTest/GTestConfig.cmake)

if(NOT EXISTS ${ID_GTEST_CONFIG})
  if(NOT EXISTS ${ID_GTEST_SOURCE}/CMakeLists.txt)
    message(FATAL_ERROR "No GoogleTest sources in ${ID_GTEST_SOURCE} (Debian package googletest)")
  endif()
  message(STATUS "Cross-building GoogleTest from ${ID_GTEST_SOURCE}")
  execute_process(
    COMMAND ${CMAKE_COMMAND} -S ${ID_GTEST_SOURCE} -B ${ID_GTEST_ROOT}/build -G ${CMAKE_GENERATOR}
            -DCMAKE_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE} -DCMAKE_BUILD_TYPE=Release
            -DCMAKE_INSTALL_PREFIX=${ID_GTEST_ROOT}/install -DBUILD_GMOCK=ON
    RESULT_VARIABLE ID_GTEST_RESULT OUTPUT_QUIET)
  if(ID_GTEST_RESULT EQUAL 0)
    execute_process(COMMAND ${CMAKE_COMMAND} --build ${ID_GTEST_ROOT}/build --target install -j2
                    RESULT_VARIABLE ID_GTEST_RESULT OUTPUT_QUIET)
  endif()
  if(NOT ID_GTEST_RESULT EQUAL 0)
    message(FATAL_ERROR "Cross-building GoogleTest failed")
  endif()
endif()

set(GTest_DIR ${ID_GTEST_ROOT}/install/lib/cmake/GTest CACHE PATH "Cross-built GoogleTest" FORCE)
