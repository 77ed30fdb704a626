# Cross build for 64-bit Windows with mingw-w64 (Debian's posix thread model,
# which has std::thread). Programs are linked statically so they run under
# Wine and on Windows without the toolchain's DLLs beside them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KESTREL_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
