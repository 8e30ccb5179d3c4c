# Cross build for 64-bit Windows with Debian's MinGW-w64, posix thread model: the
# win32 model's libstdc++ has no std::thread, which the serial terminal needs.
#   cmake -S . -B build-mingw -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-posix.cmake

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KHRONAR_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KHRONAR_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KHRONAR_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${KHRONAR_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KHRONAR_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Everything linked in, the winpthreads library included, so that the programs run
# on a bare Windows (or Wine) without the compiler's DLLs beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
