# Cross-building for 64-bit Windows with Debian's MinGW-w64 (make windows).
# The posix flavour of the compiler: its C++ library has std::thread.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QUORV_MINGW x86_64-w64-mingw32)
find_program(CMAKE_CXX_COMPILER NAMES ${QUORV_MINGW}-g++-posix ${QUORV_MINGW}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${QUORV_MINGW}-windres REQUIRED)
find_program(QUORV_DLLTOOL NAMES ${QUORV_MINGW}-dlltool REQUIRED)
set(CMAKE_FIND_ROOT_PATH /usr/${QUORV_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
