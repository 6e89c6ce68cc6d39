# Cross toolchain for the binary wheels: zig's clang with its own libc++ (linked statically) and
# glibc stubs of a chosen version, so a library built here runs on any Linux with that glibc or
# newer, whatever the build machine has. The same file cross-builds for macOS and Windows (the
# cross CI job's checks: tools/wheels/cross.sh); those wheels themselves come from the hosted
# runners (.github/workflows/wheels.yml).
#
# Environment (read again by every try_compile, hence not cache variables):
#   OSTRILO_ZIG         the zig executable (e.g. .../site-packages/ziglang/zig)
#   OSTRILO_ZIG_TARGET  the target with its glibc version, e.g. x86_64-linux-gnu.2.17,
#                       arm-linux-gnueabihf.2.17, aarch64-linux-gnu.2.17; or x86_64-macos.11.0,
#                       aarch64-macos.11.0, x86_64-windows-gnu
#   OSTRILO_ZIG_CPU     optional -mcpu value (zig's spelling), e.g. baseline-neon+vfp3d16
set(_zig "$ENV{OSTRILO_ZIG}")
set(_target "$ENV{OSTRILO_ZIG_TARGET}")
if(NOT _zig OR NOT _target)
  message(FATAL_ERROR "zig-toolchain.cmake needs OSTRILO_ZIG and OSTRILO_ZIG_TARGET in the environment")
endif()

string(REGEX MATCH "^[^-]+" _arch "${_target}")
if(_target MATCHES "-macos")
  set(CMAKE_SYSTEM_NAME Darwin)
  set(CMAKE_SYSTEM_PROCESSOR ${_arch})
  if(_arch STREQUAL "aarch64")
    set(CMAKE_SYSTEM_PROCESSOR arm64)
  endif()
  # No Apple SDK here: zig brings the system's stubs itself.
  set(CMAKE_OSX_SYSROOT "" CACHE PATH "" FORCE)
  set(CMAKE_OSX_ARCHITECTURES "" CACHE STRING "" FORCE)
elseif(_target MATCHES "-windows")
  set(CMAKE_SYSTEM_NAME Windows)
  set(CMAKE_SYSTEM_PROCESSOR AMD64)
else()
  set(CMAKE_SYSTEM_NAME Linux)
  if(_arch STREQUAL "arm")
    set(CMAKE_SYSTEM_PROCESSOR armv7l)
  else()
    set(CMAKE_SYSTEM_PROCESSOR ${_arch})
  endif()
endif()

set(_cpu "")
if(NOT "$ENV{OSTRILO_ZIG_CPU}" STREQUAL "")
  set(_cpu "-mcpu=$ENV{OSTRILO_ZIG_CPU}")
endif()
# A list: the executable, then arguments that every compile and link must carry.
set(CMAKE_CXX_COMPILER "${_zig}" c++ -target ${_target} ${_cpu})
set(CMAKE_C_COMPILER "${_zig}" cc -target ${_target} ${_cpu})

# The build machine's binutils may not know the target's object format: archive with zig's own.
foreach(_lang C CXX)
  set(CMAKE_${_lang}_ARCHIVE_CREATE "\"${_zig}\" ar qc <TARGET> <LINK_FLAGS> <OBJECTS>")
  set(CMAKE_${_lang}_ARCHIVE_APPEND "\"${_zig}\" ar q <TARGET> <LINK_FLAGS> <OBJECTS>")
  set(CMAKE_${_lang}_ARCHIVE_FINISH "\"${_zig}\" ranlib <TARGET>")
endforeach()
set(CMAKE_OBJCOPY "" CACHE FILEPATH "no objcopy for the target" FORCE)

# Bit-identical results whatever the compiler: no contraction into fused multiply-add (clang
# contracts by default), no fast-math. No build paths in the library (the sources are unpacked
# into a new temporary folder for every build) and no symbol or debug tables: two builds of one
# commit give the same bytes.
get_filename_component(_zig_lib "${_zig}" DIRECTORY)
set(_flags "-ffp-contract=off -fno-fast-math -ffile-prefix-map=${CMAKE_SOURCE_DIR}/=")
string(APPEND _flags " -ffile-prefix-map=${_zig_lib}/=zig/")
set(CMAKE_CXX_FLAGS_INIT "${_flags}")
set(CMAKE_C_FLAGS_INIT "${_flags}")
if(CMAKE_SYSTEM_NAME STREQUAL "Darwin")
  set(CMAKE_USER_MAKE_RULES_OVERRIDE "${CMAKE_CURRENT_LIST_DIR}/zig-macos-rules.cmake")
else()
  # On Windows this also leaves out the program database (.pdb) and its path.
  set(CMAKE_SHARED_LINKER_FLAGS_INIT "-Wl,--strip-all")
  set(CMAKE_MODULE_LINKER_FLAGS_INIT "-Wl,--strip-all")
endif()

# Nothing of the build machine is searched for libraries or headers of the target.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
