cmake_minimum_required(VERSION 3.25)
# A 32-bit library must take the 64-bit file-offset and time forms of the C
# library's functions: fails when it imports any of their 32-bit forms.
include(${CMAKE_CURRENT_LIST_DIR}/nm_symbols.cmake)
nm_symbols(imported ${LIB} --undefined-only)
set(narrow open openat fopen freopen stat fstat lstat fstatat lseek ftruncate readdir
           time clock_gettime gettimeofday localtime_r gmtime_r mktime timegm nanosleep)
set(found "")
foreach(sym ${imported})
  string(REGEX REPLACE "@.*$" "" name "${sym}")
  if(name IN_LIST narrow)
    list(APPEND found "${sym}")
  endif()
endforeach()
fail_on_symbols("32-bit file-offset or time forms imported" ${found})
message(STATUS "only 64-bit file-offset and time forms imported")
