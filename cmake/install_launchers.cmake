# What `cmake --install` of the Linux build adds to setup_packer: the launchers, which the
# Windows build trees make, the license files and the CMake package (find_package(SetupLauncher)).
# The launchers are found through two cache variables, by default the presets' build trees:
#   cmake --preset windows && cmake --build --preset windows            # the i686 launcher
#   cmake --preset windows-x64 && cmake --build --preset windows-x64    # the x86-64 launcher
set(SETUP_LAUNCHER_I686
    ${PROJECT_SOURCE_DIR}/build/windows/executables/tools/setup_launcher/setup_launcher.exe
    CACHE FILEPATH "The i686 launcher that cmake --install puts into share/setup_launcher/")
set(SETUP_LAUNCHER_X86_64
    ${PROJECT_SOURCE_DIR}/build/windows-x64/executables/tools/setup_launcher/setup_launcher.exe
    CACHE FILEPATH "The x86-64 launcher that cmake --install puts into share/setup_launcher/")
set(LAUNCHER_INSTALL_DIR ${CMAKE_INSTALL_DATADIR}/setup_launcher)

# Checked when installing, since the Windows builds may come after this one's configuration.
# Everything else installs without them: cmake --install BUILD --component Unspecified.
install(CODE "
    foreach(launcher \"${SETUP_LAUNCHER_I686}|i686|windows|SETUP_LAUNCHER_I686\"
                     \"${SETUP_LAUNCHER_X86_64}|x86-64|windows-x64|SETUP_LAUNCHER_X86_64\")
        string(REPLACE \"|\" \";\" launcher \"\${launcher}\")
        list(GET launcher 0 file)
        list(GET launcher 1 architecture)
        list(GET launcher 2 preset)
        list(GET launcher 3 variable)
        if(NOT EXISTS \"\${file}\")
            message(FATAL_ERROR \"The \${architecture} launcher is missing: \${file}. Build it \"
                \"first (cmake --preset \${preset} && cmake --build --preset \${preset}), or set \"
                \"\${variable} to a launcher when configuring this build.\")
        endif()
    endforeach()" COMPONENT launchers)
install(FILES ${SETUP_LAUNCHER_I686} DESTINATION ${LAUNCHER_INSTALL_DIR}
        RENAME setup_launcher-i686.exe COMPONENT launchers)
install(FILES ${SETUP_LAUNCHER_X86_64} DESTINATION ${LAUNCHER_INSTALL_DIR}
        RENAME setup_launcher-x86_64.exe COMPONENT launchers)
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/THIRD-PARTY-NOTICES
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/setup_launcher)

include(CMakePackageConfigHelpers)
set(package_dir ${CMAKE_INSTALL_DATADIR}/cmake/SetupLauncher)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/SetupLauncherConfig.cmake.in
                              ${CMAKE_CURRENT_BINARY_DIR}/SetupLauncherConfig.cmake
                              INSTALL_DESTINATION ${package_dir}
                              PATH_VARS CMAKE_INSTALL_BINDIR LAUNCHER_INSTALL_DIR)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/SetupLauncherConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion
                                 ARCH_INDEPENDENT)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/SetupLauncherConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/SetupLauncherConfigVersion.cmake
              ${PROJECT_SOURCE_DIR}/cmake/SetupLauncherFunctions.cmake
        DESTINATION ${package_dir})
