# cmake -DSOURCE_DIR=<tree> [-DBINARY_DIR=<build dir>] -P check_sources.cmake
#
# Fails when a source file outside platform/, sim/ and bench/ includes a
# Linux or POSIX header or calls a Linux or POSIX function that the portable
# build could not have. Those calls live in platform/, behind an interface
# with a portable implementation; zeva-sim's server loop and the hand-run
# benchmarks are Linux-only for now. <csignal> is standard C++ and allowed:
# std::raise and std::signal exist everywhere.
cmake_minimum_required(VERSION 3.25)

if(NOT SOURCE_DIR)
  message(FATAL_ERROR "SOURCE_DIR not given")
endif()

set(allowed_dirs platform sim bench)

set(header_rx "^[ \t]*#[ \t]*include[ \t]*[<\"](unistd\\.h|poll\\.h|signal\\.h|fcntl\\.h|netdb\\.h|pthread\\.h|sched\\.h|termios\\.h|dlfcn\\.h|sys/[^>\"]+|netinet/[^>\"]+|arpa/[^>\"]+|linux/[^>\"]+)[>\"]")
set(call_rx "(^|[^A-Za-z0-9_])(gmtime_r|localtime_r|sigaction|socketpair|timerfd_[a-z_]+|epoll_[a-z_]+|signalfd|eventfd)([^A-Za-z0-9_]|$)")

file(REAL_PATH "${SOURCE_DIR}" source_dir)
if(BINARY_DIR)
  file(REAL_PATH "${BINARY_DIR}" binary_dir)
endif()

# The top-level directories to look in: not the allowed ones, not hidden
# ones, not build trees (which hold generated sources, and in build-windows
# Qt's own source when it is built there) wherever they are.
file(GLOB top LIST_DIRECTORIES true RELATIVE "${source_dir}" "${source_dir}/*")
set(files)
foreach(entry IN LISTS top)
  set(path "${source_dir}/${entry}")
  if(NOT IS_DIRECTORY "${path}" OR entry IN_LIST allowed_dirs OR entry MATCHES "^\\." OR entry MATCHES "^build"
     OR EXISTS "${path}/CMakeCache.txt" OR path STREQUAL "${binary_dir}")
    continue()
  endif()
  file(GLOB_RECURSE found "${path}/*.h" "${path}/*.hpp" "${path}/*.c" "${path}/*.cc" "${path}/*.cpp" "${path}/*.cxx")
  list(APPEND files ${found})
endforeach()

set(offences)
set(checked 0)
foreach(file IN LISTS files)
  math(EXPR checked "${checked} + 1")
  file(RELATIVE_PATH name "${source_dir}" "${file}")
  file(STRINGS "${file}" lines REGEX "${header_rx}")
  foreach(line IN LISTS lines)
    string(STRIP "${line}" line)
    if(line) # a line is cut at each semicolon
      list(APPEND offences "${name}: ${line}")
    endif()
  endforeach()
  file(STRINGS "${file}" lines REGEX "${call_rx}")
  foreach(line IN LISTS lines)
    string(STRIP "${line}" line)
    if(line) # a line is cut at each semicolon
      list(APPEND offences "${name}: ${line}")
    endif()
  endforeach()
endforeach()

if(checked EQUAL 0)
  message(FATAL_ERROR "no source file found under ${source_dir}")
endif()
if(offences)
  list(JOIN offences "\n  " text)
  message(FATAL_ERROR "Linux or POSIX calls outside platform/, sim/ and bench/:\n  ${text}")
endif()
message(STATUS "${checked} source files outside platform/, sim/ and bench/ hold no Linux or POSIX call")
