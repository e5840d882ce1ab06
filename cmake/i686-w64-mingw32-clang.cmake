# The second toolchain: clang and lld targeting 32-bit Windows, with the same
# MinGW-w64 headers, libraries and runtime as the GCC build. Where each part
# is installed is asked of the tools themselves, so that any LLVM and GCC
# release Debian ships will do.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(ARCHVER_TARGET i686-w64-mingw32)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_CXX_COMPILER_TARGET ${ARCHVER_TARGET})
set(CMAKE_SYSROOT /usr/${ARCHVER_TARGET})

# llvm-windres lies beside clang, in LLVM's own versioned folder, which clang
# knows; it answers the bare name where there is none.
execute_process(COMMAND clang++ -print-prog-name=llvm-windres
  OUTPUT_VARIABLE ARCHVER_WINDRES OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT IS_ABSOLUTE "${ARCHVER_WINDRES}" OR NOT EXISTS "${ARCHVER_WINDRES}")
  message(FATAL_ERROR "clang++ knows no llvm-windres (package llvm)")
endif()
set(CMAKE_RC_COMPILER ${ARCHVER_WINDRES})
set(CMAKE_RC_FLAGS_INIT "--target=${ARCHVER_TARGET} -I${CMAKE_SYSROOT}/include")

# The win32 thread model's C++ headers and runtime, in the folder of the GCC
# that builds the release, which names it after its version ("12-win32"):
# clang cannot read that as a GCC version, so it is told where both are.
execute_process(COMMAND ${ARCHVER_TARGET}-g++-win32 -print-libgcc-file-name
  OUTPUT_VARIABLE ARCHVER_LIBGCC OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT EXISTS "${ARCHVER_LIBGCC}")
  message(FATAL_ERROR "${ARCHVER_TARGET}-g++-win32 names no runtime (package g++-mingw-w64-i686-win32)")
endif()
cmake_path(GET ARCHVER_LIBGCC PARENT_PATH ARCHVER_GCC_RUNTIME)
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES ${ARCHVER_GCC_RUNTIME}/include/c++
  ${ARCHVER_GCC_RUNTIME}/include/c++/${ARCHVER_TARGET})
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -L${ARCHVER_GCC_RUNTIME}")

set(CMAKE_FIND_ROOT_PATH /usr/${ARCHVER_TARGET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR wine)
