# The second build: 64-bit Windows (PE32+), for systems without 32-bit support (Windows PE x64,
# Server Core without WOW64); its commands see the 64-bit system directory unredirected.
set(MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
