# zstd, built from its upstream sources into the module.
#
# The library is compiled here, statically and with hidden symbols, with the
# decoders of every legacy frame format (zstd 0.1 to 0.7): compiled-module
# storage may hold any of them, and the system's libzstd decodes only 0.5 on.
# The sources come from the source distribution of the Python package `zstd`
# (which carries the upstream lib/ tree), pinned by version and SHA-256. The
# archive is kept in a cache outside the build tree, and fetched with pip when
# it is not there yet:
#   $KESTRANE_CACHE, else ${XDG_CACHE_HOME:-$HOME/.cache}/kestrane
#
# Included from CMakeLists.txt it defines the target `kestrane_zstd`. Run as a
# script (`cmake -P cmake/Zstd.cmake`) it only makes sure the archive is cached.

set(KESTRANE_ZSTD_VERSION 1.5.7.2)
set(KESTRANE_ZSTD_SHA256 6d8684c69009be49e1b18ec251a5eb0d7e24f93624990a8a124a1da66a92fc8a)

function(kestrane_zstd_cache_dir out)
  if(DEFINED ENV{KESTRANE_CACHE} AND NOT "$ENV{KESTRANE_CACHE}" STREQUAL "")
    set(dir "$ENV{KESTRANE_CACHE}")
  elseif(DEFINED ENV{XDG_CACHE_HOME} AND NOT "$ENV{XDG_CACHE_HOME}" STREQUAL "")
    set(dir "$ENV{XDG_CACHE_HOME}/kestrane")
  else()
    set(dir "$ENV{HOME}/.cache/kestrane")
  endif()
  set(${out} "${dir}" PARENT_SCOPE)
endfunction()

# Sets `out` to the path of the verified archive in the cache, fetching it with
# the first of `pythons` whose pip can. Stops with an error naming the cache and
# the command to run by hand when none can.
function(kestrane_zstd_archive out)
  kestrane_zstd_cache_dir(cache)
  set(name "zstd-${KESTRANE_ZSTD_VERSION}.tar.gz")
  set(archive "${cache}/${name}")
  set(pip_args download --quiet --no-deps --no-binary :all: "zstd==${KESTRANE_ZSTD_VERSION}")
  if(EXISTS "${archive}")
    file(SHA256 "${archive}" sum)
    if(sum STREQUAL KESTRANE_ZSTD_SHA256)
      set(${out} "${archive}" PARENT_SCOPE)
      return()
    endif()
    message(WARNING "Removing ${archive}: its SHA-256 is ${sum}, expected ${KESTRANE_ZSTD_SHA256}")
    file(REMOVE "${archive}")
  endif()

  # pip reads the archive's metadata once downloaded: with the interpreter's own
  # setuptools when it has them, else in an isolated environment of its own.
  set(staging "${cache}/download-${KESTRANE_ZSTD_VERSION}")
  foreach(python IN LISTS ARGN)
    foreach(isolation --no-build-isolation "")
      file(REMOVE_RECURSE "${staging}")
      message(STATUS "Fetching ${name} into ${cache} with ${python} -m pip")
      # Inside pip's own isolated build environment (`pip install .`) pip is
      # hidden from the interpreter through these two variables.
      execute_process(
        COMMAND "${CMAKE_COMMAND}" -E env --unset=PYTHONPATH --unset=PYTHONNOUSERSITE
                "${python}" -m pip ${pip_args} ${isolation} --dest "${staging}"
        RESULT_VARIABLE rc OUTPUT_QUIET ERROR_VARIABLE err)
      if(rc EQUAL 0 AND EXISTS "${staging}/${name}")
        file(SHA256 "${staging}/${name}" sum)
        if(sum STREQUAL KESTRANE_ZSTD_SHA256)
          file(RENAME "${staging}/${name}" "${archive}")
          file(REMOVE_RECURSE "${staging}")
          set(${out} "${archive}" PARENT_SCOPE)
          return()
        endif()
        message(WARNING "${name} from ${python} -m pip has SHA-256 ${sum}, expected ${KESTRANE_ZSTD_SHA256}")
        break()
      endif()
    endforeach()
  endforeach()
  file(REMOVE_RECURSE "${staging}")
  if(ARGN)
    string(JOIN ", " tried ${ARGN})
    set(tried "pip of ${tried}")
  else()
    set(tried "no Python interpreter was found")
  endif()
  message(FATAL_ERROR
    "The zstd sources (${name}, SHA-256 ${KESTRANE_ZSTD_SHA256}) are not in ${cache} and could not be "
    "fetched (${tried}). Fetch them by hand with\n"
    "  python3 -m pip download --no-deps --no-binary :all: zstd==${KESTRANE_ZSTD_VERSION} --dest ${cache}\n"
    "or point KESTRANE_CACHE at a folder that holds ${name}.")
endfunction()

# Interpreters whose pip may fetch the archive: the build's own, then python3
# from PATH.
set(_kestrane_pythons)
if(Python_EXECUTABLE)
  list(APPEND _kestrane_pythons "${Python_EXECUTABLE}")
endif()
find_program(KESTRANE_PATH_PYTHON3 NAMES python3 NO_CACHE)
if(KESTRANE_PATH_PYTHON3)
  list(APPEND _kestrane_pythons "${KESTRANE_PATH_PYTHON3}")
endif()
list(REMOVE_DUPLICATES _kestrane_pythons)
kestrane_zstd_archive(KESTRANE_ZSTD_ARCHIVE ${_kestrane_pythons})
if(CMAKE_SCRIPT_MODE_FILE)
  return()
endif()

set(KESTRANE_ZSTD_DIR "${CMAKE_BINARY_DIR}/_deps/zstd-${KESTRANE_ZSTD_VERSION}")
if(NOT EXISTS "${KESTRANE_ZSTD_DIR}/zstd/lib/zstd.h")
  file(REMOVE_RECURSE "${KESTRANE_ZSTD_DIR}")
  file(ARCHIVE_EXTRACT INPUT "${KESTRANE_ZSTD_ARCHIVE}" DESTINATION "${CMAKE_BINARY_DIR}/_deps"
    PATTERNS "zstd-${KESTRANE_ZSTD_VERSION}/zstd/lib/*")
endif()
set(_zstd_lib "${KESTRANE_ZSTD_DIR}/zstd/lib")
file(GLOB KESTRANE_ZSTD_SOURCES
  ${_zstd_lib}/common/*.c ${_zstd_lib}/compress/*.c ${_zstd_lib}/decompress/*.c ${_zstd_lib}/legacy/*.c)
add_library(kestrane_zstd STATIC ${KESTRANE_ZSTD_SOURCES})
target_include_directories(kestrane_zstd SYSTEM PUBLIC ${_zstd_lib})
target_include_directories(kestrane_zstd PRIVATE ${_zstd_lib}/common ${_zstd_lib}/legacy)
# Every symbol stays inside the module; the header's own visibility attributes
# are emptied for users as well, so that their calls bind locally too. Tracing
# is compiled out: its hooks are weak undefined symbols otherwise, bound by the
# dynamic linker to whatever library in the process defines them.
target_compile_definitions(kestrane_zstd
  PUBLIC ZSTDLIB_VISIBLE= ZSTDERRORLIB_VISIBLE= ZDICTLIB_VISIBLE=
  PRIVATE ZSTD_LEGACY_SUPPORT=1 XXH_NAMESPACE=ZSTD_ ZSTD_DISABLE_ASM ZSTD_NO_TRACE)
set_target_properties(kestrane_zstd PROPERTIES C_VISIBILITY_PRESET hidden POSITION_INDEPENDENT_CODE ON)
if(KESTRANE_FUZZ)
  # Fuzzing explores our code: the library is sanitized but gives no coverage.
  set_property(TARGET kestrane_zstd PROPERTY COMPILE_OPTIONS -fsanitize=address -fno-omit-frame-pointer)
endif()
