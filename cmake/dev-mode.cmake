# Developer mode: the Wine harness's programs, which tools/run and
# tools/benchmark use too, or on the build machine the logic alone against
# the stand-in <windows.h>, which comes before the system's; then the tests,
# and the tools they need (GoogleTest, Python with pytest, Wine, NSIS,
# OpenSSL, and for the lint preset the linters and Node.js). BUILD_TESTING=OFF
# leaves the tests out again, as tools/run does.
if(WIN32)
  add_subdirectory(tools/wine)
else()
  target_include_directories(archver_logic BEFORE PUBLIC tests/unit/include)
  target_compile_options(archver_logic PRIVATE ${ARCHVER_WARNINGS})
endif()
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
