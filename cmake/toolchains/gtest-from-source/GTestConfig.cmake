# find_package(GTest) for a cross build: compiles GoogleTest and GoogleMock
# from the sources of Debian's googletest package for the target, and offers
# the same imported names as the host package (GTest::gtest, GTest::gmock,
# GTest::gtest_main).
if(TARGET GTest::gtest)
  return()
endif()

set(ORVANE_GTEST_SOURCE "/usr/src/googletest" CACHE PATH "GoogleTest sources")
set(_gtest "${ORVANE_GTEST_SOURCE}/googletest")
set(_gmock "${ORVANE_GTEST_SOURCE}/googlemock")
if(NOT EXISTS "${_gtest}/src/gtest-all.cc" OR NOT EXISTS "${_gmock}/src/gmock-all.cc")
  set(GTest_FOUND FALSE)
  set(GTest_NOT_FOUND_MESSAGE
      "GoogleTest sources not found under ${ORVANE_GTEST_SOURCE} (Debian package googletest)")
  return()
endif()

find_package(Threads REQUIRED)

add_library(orvane_cross_gtest STATIC EXCLUDE_FROM_ALL "${_gtest}/src/gtest-all.cc")
target_include_directories(orvane_cross_gtest SYSTEM PUBLIC "${_gtest}/include")
target_include_directories(orvane_cross_gtest PRIVATE "${_gtest}")
target_link_libraries(orvane_cross_gtest PUBLIC Threads::Threads)

add_library(orvane_cross_gmock STATIC EXCLUDE_FROM_ALL "${_gmock}/src/gmock-all.cc")
target_include_directories(orvane_cross_gmock SYSTEM PUBLIC "${_gmock}/include")
target_include_directories(orvane_cross_gmock PRIVATE "${_gmock}")
target_link_libraries(orvane_cross_gmock PUBLIC orvane_cross_gtest)

add_library(orvane_cross_gtest_main STATIC EXCLUDE_FROM_ALL "${_gtest}/src/gtest_main.cc")
target_link_libraries(orvane_cross_gtest_main PUBLIC orvane_cross_gtest)

# Third-party code: its own warnings are not ours to fix. Light optimisation:
# the test harness compiles in half the time and runs no slower to notice.
foreach(_lib orvane_cross_gtest orvane_cross_gmock orvane_cross_gtest_main)
  target_compile_options(${_lib} PRIVATE -w -O1)
endforeach()

add_library(GTest::gtest ALIAS orvane_cross_gtest)
add_library(GTest::gmock ALIAS orvane_cross_gmock)
add_library(GTest::gtest_main ALIAS orvane_cross_gtest_main)
set(GTest_FOUND TRUE)
