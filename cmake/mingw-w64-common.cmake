# Shared by the MinGW-w64 toolchain files; KVFW_MINGW_TRIPLET names the target.
set(CMAKE_C_COMPILER ${KVFW_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KVFW_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${KVFW_MINGW_TRIPLET}-windres)
set(CMAKE_AR ${KVFW_MINGW_TRIPLET}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${KVFW_MINGW_TRIPLET}-gcc-ranlib-posix CACHE FILEPATH "")

# Libraries and packages come from the target's sysroot and from the prefixes
# given in CMAKE_PREFIX_PATH / CMAKE_FIND_ROOT_PATH, never from the build host.
list(APPEND CMAKE_FIND_ROOT_PATH /usr/${KVFW_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Everything linked in statically, the C++ runtime and winpthreads included,
# so the programs need no DLL beyond those Windows itself ships.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
