# What both Windows toolchain files share: Debian's mingw-w64 for the triple
# they name. The -posix compilers carry std::mutex, which the test framework needs.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${ZIMLEX_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZIMLEX_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ZIMLEX_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ZIMLEX_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
