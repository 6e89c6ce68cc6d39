# Read after CMake's Darwin platform rules (CMAKE_USER_MAKE_RULES_OVERRIDE in zig-toolchain.cmake):
# zig's Mach-O linker makes no bundles (it crashes on -bundle), so a module is linked as a dylib,
# which the interpreter loads the same way.
set(CMAKE_SHARED_MODULE_CREATE_CXX_FLAGS "-shared")
set(CMAKE_SHARED_MODULE_CREATE_C_FLAGS "-shared")
# Nor does it read the exported-symbols list, or drop local symbols and the debug map (object
# paths): macho_finish.py does both after the link, and signs the library again.
if(Python_EXECUTABLE)
  set(_ostrilo_python "${Python_EXECUTABLE}")
else()
  set(_ostrilo_python python3)
endif()
set(CMAKE_CXX_CREATE_SHARED_MODULE
    "<CMAKE_CXX_COMPILER> <LANGUAGE_COMPILE_FLAGS> <CMAKE_SHARED_MODULE_CREATE_CXX_FLAGS> <LINK_FLAGS> -o <TARGET> <OBJECTS> <LINK_LIBRARIES>"
    "\"${_ostrilo_python}\" \"${CMAKE_CURRENT_LIST_DIR}/macho_finish.py\" <TARGET> <LINK_FLAGS>")
