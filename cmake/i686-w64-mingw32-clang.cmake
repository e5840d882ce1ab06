# The second toolchain: clang and lld targeting 32-bit Windows, with the same
# MinGW-w64 headers, libraries and runtime as the GCC build.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(ARCHVER_TARGET i686-w64-mingw32)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_CXX_COMPILER_TARGET ${ARCHVER_TARGET})
set(CMAKE_RC_COMPILER /usr/lib/llvm-14/bin/llvm-windres)
set(CMAKE_SYSROOT /usr/${ARCHVER_TARGET})
set(CMAKE_RC_FLAGS_INIT "--target=${ARCHVER_TARGET} -I${CMAKE_SYSROOT}/include")

# The win32 thread model's C++ headers and runtime. clang 14 cannot read
# "12-win32" as a GCC version, so it is told where both are.
set(ARCHVER_GCC_RUNTIME /usr/lib/gcc/${ARCHVER_TARGET}/12-win32)
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES ${ARCHVER_GCC_RUNTIME}/include/c++
  ${ARCHVER_GCC_RUNTIME}/include/c++/${ARCHVER_TARGET})
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -L${ARCHVER_GCC_RUNTIME}")

set(CMAKE_FIND_ROOT_PATH /usr/${ARCHVER_TARGET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR wine)
