# Cross build for 32-bit Windows with mingw-w64 (Debian's posix thread model,
# which has std::thread). Programs are linked statically so they run under
# Wine and on Windows without the toolchain's DLLs beside them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(KESTREL_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
