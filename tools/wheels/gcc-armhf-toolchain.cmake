# Cross toolchain for test builds on 32-bit ARM hard-float with Debian's g++ (package
# g++-arm-linux-gnueabihf): the compiler users get when they build from the sources on that
# platform, run on the build machine instead of under emulation.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
