# SPDX-License-Identifier: BSD-2-Clause
# Fails when the newest entry of debian/changelog does not carry the project's
# version, so that the packages cannot drift from the program they hold.
# Usage: cmake -DCHANGELOG=debian/changelog -DVERSION=x.y -P deb_version_test.cmake
file(STRINGS "${CHANGELOG}" first LIMIT_COUNT 1)
if(NOT first MATCHES "^zorv \\(([^) ]+)\\) ")
  message(FATAL_ERROR "${CHANGELOG} does not start with an entry of zorv: ${first}")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL VERSION)
  message(FATAL_ERROR "${CHANGELOG} has version ${CMAKE_MATCH_1}, the CMake project ${VERSION}")
endif()
message(STATUS "debian/changelog and the CMake project are both at ${VERSION}")
