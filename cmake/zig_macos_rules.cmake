# zig's Mach-O linker crashes on -bundle: the module is linked as a dylib (MH_DYLIB), which
# the interpreter's dlopen loads just the same.
set(CMAKE_SHARED_MODULE_CREATE_C_FLAGS "-shared -Wl,-headerpad_max_install_names")
set(CMAKE_SHARED_MODULE_CREATE_CXX_FLAGS "-shared -Wl,-headerpad_max_install_names")
