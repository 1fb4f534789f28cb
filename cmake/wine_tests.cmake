# Tests that run the Windows build's programs under Wine, each in the Windows test root (Debian 13
# with Wine 10, testing/wine/windows_root.sh) through testing/wine/run_in_windows_root.sh. The rig
# reads the build's architecture from the file written here, and a test ends with exit code 77
# when it can't run here (no root to use, or no 32-bit code for the i686 build): ctest reports
# the test as skipped, never as passed.
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
    set(WINE_ARCH win64)
else()
    set(WINE_ARCH win32)
endif()
file(WRITE ${CMAKE_BINARY_DIR}/wine_arch "${WINE_ARCH}\n")

# Programs of the native build that the Wine tests run on this host: scripts/run_tests.sh builds
# the native configuration first.
set(HOST_SETUP_PACKER ${CMAKE_SOURCE_DIR}/build/native/executables/tools/setup_packer/setup_packer
    CACHE FILEPATH "The Linux setup_packer that builds the launcher files of the end-to-end tests")
set(HOST_CHAIN_MAKER ${CMAKE_SOURCE_DIR}/build/native/executables/tools/setup_launcher/corpus_generator
    CACHE FILEPATH "The Linux corpus_generator that makes the launcher files setup_packer refuses")
set(HOST_SWAP_ON_OPEN ${CMAKE_SOURCE_DIR}/build/native/executables/tools/setup_launcher/swap_on_open
    CACHE FILEPATH "The Linux swap_on_open that holds the launcher's cleanup while a test swaps its directory")

# The UI driver (testing/ui_driver) stands in for the user: it reads and answers the windows of
# the programs under test. The tests of both builds use an x86-64 build of it, since it is no
# part of what they test, and where 32-bit code is emulated a 64-bit program starts several times
# faster; the tests start it hundreds of times. wine_ui_driver tests the build's own driver.
if(WINE_ARCH STREQUAL "win64")
    set(WINE_TEST_UI_DRIVER $<TARGET_FILE:ui_driver>)
else()
    find_program(MINGW_X86_64_CXX NAMES x86_64-w64-mingw32-g++-win32 REQUIRED)
    set(WINE_TEST_UI_DRIVER ${CMAKE_BINARY_DIR}/ui_driver_x86_64.exe)
    set(driver_source ${CMAKE_SOURCE_DIR}/testing/ui_driver/ui_driver_win32.cpp)
    add_custom_command(OUTPUT ${WINE_TEST_UI_DRIVER}
                       COMMAND ${MINGW_X86_64_CXX} -std=c++20 -Os -Wall -Wextra -Werror -DUNICODE
                               -D_UNICODE -municode -static -s -o ${WINE_TEST_UI_DRIVER}
                               ${driver_source} -luser32
                       DEPENDS ${driver_source}
                       COMMENT "Building the x86-64 UI driver for the tests")
    add_custom_target(ui_driver_x86_64 ALL DEPENDS ${WINE_TEST_UI_DRIVER})
endif()

# add_wine_test(NAME COMMAND args... [TIMEOUT seconds] [LABELS labels...] [OWN_UI_DRIVER])
# $<TARGET_FILE:ui_driver> among the arguments stands for the tests' UI driver above; with
# OWN_UI_DRIVER it stays this build's. The i686 build's tests get twice the time: where 32-bit
# code is emulated, each of its programs takes a second or two more to start.
function(add_wine_test name)
    cmake_parse_arguments(PARSE_ARGV 1 WINE_TEST "OWN_UI_DRIVER" "TIMEOUT" "COMMAND;LABELS")
    if(NOT WINE_TEST_TIMEOUT)
        set(WINE_TEST_TIMEOUT 300)
    endif()
    if(WINE_ARCH STREQUAL "win32")
        math(EXPR WINE_TEST_TIMEOUT "${WINE_TEST_TIMEOUT} * 2")
    endif()
    if(NOT WINE_TEST_OWN_UI_DRIVER)
        list(TRANSFORM WINE_TEST_COMMAND REPLACE "\\$<TARGET_FILE:ui_driver>" "${WINE_TEST_UI_DRIVER}")
    endif()
    add_test(NAME ${name}
             COMMAND bash ${CMAKE_SOURCE_DIR}/testing/wine/run_in_windows_root.sh ${CMAKE_BINARY_DIR}
                     -- ${WINE_TEST_COMMAND})
    set_tests_properties(${name} PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT ${WINE_TEST_TIMEOUT}
                                            LABELS "wine;${WINE_TEST_LABELS}")
endfunction()
