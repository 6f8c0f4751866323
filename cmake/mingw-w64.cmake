# What the two mingw-w64 toolchain files share; each sets VB_CROSS_TRIPLE and
# CMAKE_SYSTEM_PROCESSOR first and then includes this file.
set(CMAKE_SYSTEM_NAME Windows)

# The posix thread model: GoogleTest needs std::mutex, which the win32 model of GCC 12 lacks.
set(CMAKE_C_COMPILER ${VB_CROSS_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VB_CROSS_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VB_CROSS_TRIPLE}-windres)
set(CMAKE_OBJDUMP ${VB_CROSS_TRIPLE}-objdump CACHE FILEPATH "objdump for PE files")
set(CMAKE_DLLTOOL ${VB_CROSS_TRIPLE}-dlltool CACHE FILEPATH "dlltool for import libraries")

set(CMAKE_FIND_ROOT_PATH /usr/${VB_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The compiler's own runtime (libgcc, libstdc++, winpthread) goes inside each module, so that the
# plug-ins, KJMAP.DLL and the programs run with nothing but the system's DLLs beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# Programs built here (tests, vbhost) run through wine: CTest and GoogleTest's discovery use the
# emulator. The script keeps a wine prefix of its own inside the build folder; VB_WINE_ARCH
# (win64 or win32) is the kind of prefix and of wine loader it uses.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh --${VB_WINE_ARCH})
endif()
