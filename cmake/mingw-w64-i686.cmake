# Cross build for 32-bit Windows (x86) with mingw-w64; tests run under 32-bit wine.
#   cmake -S . -B build-windows32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake
# (or the "windows32" presets). cmake/install-cross-tools.sh windows32 installs the tools.
# Here the exports are __stdcall, which the compiler names GetPicture@28; the .def files and
# the platform library's import library give the modules their undecorated names
# (cmake/VbPlugin.cmake).
set(CMAKE_SYSTEM_PROCESSOR x86)
set(VB_CROSS_TRIPLE i686-w64-mingw32)
set(VB_WINE_ARCH win32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
