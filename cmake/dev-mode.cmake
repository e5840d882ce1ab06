# Developer mode: the tests, and the tools they need (GoogleTest, Python
# with pytest, Wine, NSIS, OpenSSL, and for the lint preset the linters and
# Node.js). BUILD_TESTING=OFF leaves them out again.
include(CTest)
if(NOT BUILD_TESTING)
  return()
endif()
if(WIN32)
  add_subdirectory(tests/e2e)
  option(ARCHVER_LINT "Lint tests, with this build's compile database" OFF)
  if(ARCHVER_LINT)
    add_subdirectory(tests/lint)
  endif()
else()
  add_subdirectory(tests/unit)
  add_subdirectory(tests/host)
endif()
