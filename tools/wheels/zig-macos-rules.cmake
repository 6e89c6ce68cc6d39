# Read after CMake's Darwin platform rules (CMAKE_USER_MAKE_RULES_OVERRIDE in zig-toolchain.cmake):
# zig's Mach-O linker makes no bundles (it crashes on -bundle), so a module is linked as a dylib,
# which the interpreter loads the same way.
set(CMAKE_SHARED_MODULE_CREATE_CXX_FLAGS "-shared")
set(CMAKE_SHARED_MODULE_CREATE_C_FLAGS "-shared")
