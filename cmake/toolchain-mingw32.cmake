# Cross-compiling the 32-bit Windows DLL and its Windows tests with MinGW-w64.
# The "-posix" compilers use the winpthreads thread model, which std::thread and
# std::mutex need; everything the runtime brings (libgcc, libstdc++,
# winpthread) is linked statically so that the DLL imports only Windows system
# DLLs and can be dropped beside the host on any machine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(VOZI_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_C_COMPILER ${VOZI_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VOZI_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VOZI_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${VOZI_MINGW_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${VOZI_MINGW_TRIPLE}-ranlib CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${VOZI_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -static pulls libgcc, libstdc++ and libwinpthread from their archives; the
# Windows import libraries (libkernel32.a and friends) still resolve to the
# system DLLs. msvcrt.dll stays the C runtime.
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Tests run the built programs under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
