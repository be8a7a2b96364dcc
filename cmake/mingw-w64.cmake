# Shared part of the mingw-w64 toolchain files: set KELRES_MINGW_TRIPLET and
# CMAKE_SYSTEM_PROCESSOR, then include this. Debian's packages g++-mingw-w64-<arch>-posix (the
# compilers with the POSIX thread model, which std::thread needs) and libz-mingw-w64-dev.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${KELRES_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KELRES_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${KELRES_MINGW_TRIPLET}-windres)
set(CMAKE_OBJDUMP ${KELRES_MINGW_TRIPLET}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${KELRES_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# zlib, the C++ library, the compiler's support library and the thread library are linked in,
# so that the library and the test programs need no DLL beside them.
set(ZLIB_USE_STATIC_LIBS ON)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
