# Cross build for 64-bit Windows with Clang and lld, against the MinGW-w64 sysroot and
# GCC's libstdc++ (posix threads); tests run under Wine.
#
# Debian's Clang finds the MinGW-w64 headers and import libraries by itself, but not
# GCC's own folder (/usr/lib/gcc/x86_64-w64-mingw32/<version>-posix) with libstdc++'s
# headers, libstdc++ and libgcc: its name carries a suffix Clang does not look for. So the
# folder is asked of the GCC cross compiler, or else found by a glob, and passed on.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VARNHOLT_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER clang)
set(CMAKE_C_COMPILER_TARGET ${VARNHOLT_MINGW_TRIPLE})
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_CXX_COMPILER_TARGET ${VARNHOLT_MINGW_TRIPLE})
set(CMAKE_RC_COMPILER ${VARNHOLT_MINGW_TRIPLE}-windres)

if(NOT VARNHOLT_MINGW_GCC_DIR)
  execute_process(
    COMMAND ${VARNHOLT_MINGW_TRIPLE}-g++-posix -print-file-name=libstdc++.a
    OUTPUT_VARIABLE libstdcxx
    OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE status
    ERROR_QUIET)
  if(status EQUAL 0 AND IS_ABSOLUTE "${libstdcxx}" AND EXISTS "${libstdcxx}")
    get_filename_component(gcc_dir "${libstdcxx}" DIRECTORY)
  else()
    # Without the GCC cross compiler: the newest posix folder there is.
    file(GLOB candidates LIST_DIRECTORIES true /usr/lib/gcc/${VARNHOLT_MINGW_TRIPLE}/*-posix)
    set(gcc_dir "")
    if(candidates)
      list(SORT candidates COMPARE NATURAL ORDER DESCENDING)
      list(GET candidates 0 gcc_dir)
    endif()
  endif()
  if(gcc_dir)
    get_filename_component(gcc_dir "${gcc_dir}" REALPATH)
  endif()
  if(NOT gcc_dir OR NOT EXISTS "${gcc_dir}/include/c++/string")
    message(FATAL_ERROR "No libstdc++ of the MinGW-w64 GCC (posix threads) found; "
                        "install g++-mingw-w64-x86-64 or give -DVARNHOLT_MINGW_GCC_DIR=...")
  endif()
  set(VARNHOLT_MINGW_GCC_DIR "${gcc_dir}" CACHE PATH
      "GCC's MinGW-w64 folder with libstdc++ and libgcc (posix threads)")
endif()

set(stdcxx_include ${VARNHOLT_MINGW_GCC_DIR}/include/c++)
string(JOIN " " VARNHOLT_STDCXX_FLAGS
  -nostdinc++
  -isystem ${stdcxx_include}
  -isystem ${stdcxx_include}/${VARNHOLT_MINGW_TRIPLE}
  -isystem ${stdcxx_include}/backward)
set(CMAKE_C_FLAGS_INIT "-pthread")
set(CMAKE_CXX_FLAGS_INIT "-pthread ${VARNHOLT_STDCXX_FLAGS}")
# CMake repeats the compile flags on the link line, where -nostdinc++ means nothing.
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT
      "-fuse-ld=lld -pthread -L${VARNHOLT_MINGW_GCC_DIR} -Wno-unused-command-line-argument")
endforeach()

set(CMAKE_FIND_ROOT_PATH /usr/${VARNHOLT_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
