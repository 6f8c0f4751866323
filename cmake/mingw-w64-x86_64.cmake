# Cross build for 64-bit Windows with mingw-w64; tests run under 64-bit wine.
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# (or the "windows" presets). cmake/install-cross-tools.sh windows installs the tools.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VB_CROSS_TRIPLE x86_64-w64-mingw32)
set(VB_WINE_ARCH win64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
