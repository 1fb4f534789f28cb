# Tests that run the Windows build's programs under Wine. The Wine rig
# (testing/wine/wine_env.sh) reads the build's architecture from the file written here, and ends
# a test with exit code 77 when this host cannot run that architecture: ctest reports the test as
# skipped, never as passed.
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

# add_wine_test(NAME COMMAND args... [TIMEOUT seconds] [LABELS labels...])
function(add_wine_test name)
    cmake_parse_arguments(PARSE_ARGV 1 WINE_TEST "" "TIMEOUT" "COMMAND;LABELS")
    if(NOT WINE_TEST_TIMEOUT)
        set(WINE_TEST_TIMEOUT 300)
    endif()
    add_test(NAME ${name} COMMAND ${WINE_TEST_COMMAND})
    set_tests_properties(${name} PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT ${WINE_TEST_TIMEOUT}
                                            LABELS "wine;${WINE_TEST_LABELS}")
endfunction()
