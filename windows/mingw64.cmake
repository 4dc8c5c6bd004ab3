# Cross-compiling for 64-bit Windows with Debian's MinGW-w64 (the POSIX
# threads flavour, which std::thread and Qt need). Qt for MinGW is found
# through CMAKE_PREFIX_PATH; Qt's build tools (moc, rcc, uic) are the host's
# own of the same version, QT_HOST_PATH=/usr.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ZEVA_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ZEVA_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZEVA_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${ZEVA_MINGW_TRIPLET}-windres)

# Libraries, headers and packages from the MinGW tree and from the prefixes
# given (Qt for MinGW), never from the host's /usr.
set(CMAKE_FIND_ROOT_PATH /usr/${ZEVA_MINGW_TRIPLET} ${CMAKE_PREFIX_PATH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

if(NOT QT_HOST_PATH)
  set(QT_HOST_PATH /usr CACHE PATH "Host Qt of the same version, for moc, rcc and uic")
endif()

# Tests run under Wine: ctest starts each through it.
find_program(ZEVA_WINE wine)
if(ZEVA_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ZEVA_WINE})
endif()
