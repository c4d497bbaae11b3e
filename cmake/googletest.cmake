# GoogleTest for the test programs, found the CMake way: a native build takes
# the GoogleTest package find_package(GTest) finds (Debian's libgtest-dev);
# without one, and always in a cross build, GoogleTest is built here from its
# sources: Debian's googletest package's in /usr/src/googletest, or the copy
# named with -DFETCHCONTENT_SOURCE_DIR_GOOGLETEST=<folder>.
if(NOT CMAKE_CROSSCOMPILING)
  find_package(GTest QUIET)
endif()
if(NOT TARGET GTest::gtest_main)
  include(FetchContent)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(FETCHCONTENT_SOURCE_DIR_GOOGLETEST /usr/src/googletest CACHE PATH "GoogleTest's sources")
  FetchContent_Declare(googletest SOURCE_DIR ${FETCHCONTENT_SOURCE_DIR_GOOGLETEST})
  FetchContent_MakeAvailable(googletest)
endif()
