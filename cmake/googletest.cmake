# Provides GoogleTest to the test folders as GTest::gtest, GTest::gtest_main,
# GTest::gmock and GTest::gmock_main, and the gtest_discover_tests() command.
#
# Host builds use Debian's prebuilt libraries. A cross build cannot link those, so it
# compiles Debian's GoogleTest sources (package googletest) with the target compiler;
# that source tree defines the same GTest:: aliases.
set(QUORVEL_GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH
    "GoogleTest sources used when cross compiling")

if(CMAKE_CROSSCOMPILING)
  if(NOT EXISTS ${QUORVEL_GOOGLETEST_SOURCE_DIR}/CMakeLists.txt)
    message(FATAL_ERROR "Cross builds compile GoogleTest from source; none found in "
                        "${QUORVEL_GOOGLETEST_SOURCE_DIR} (install the googletest package)")
  endif()
  if(NOT TARGET GTest::gtest)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
    add_subdirectory(${QUORVEL_GOOGLETEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/_googletest EXCLUDE_FROM_ALL SYSTEM)
  endif()
  # Listing the tests of a target binary means starting it under the emulator.
  # Doing that when ctest runs rather than after every link keeps the build free of
  # emulated runs (an image can be built without qemu present).
  set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
  # Debian's GTest package brings Threads::Threads along; the test folders may rely on it.
  find_package(Threads REQUIRED)
else()
  find_package(GTest REQUIRED)
endif()

include(GoogleTest)
