# setup_launcher_add_setup(): a setup file as a target of the project, built by setup_packer.
#
#   setup_launcher_add_setup(TARGET [ALL]
#       OUTPUT setup.exe                  where the setup file goes (relative: the binary dir)
#       [ARCH i686|x86-64]                the installed launcher to pack (default i686)
#       [LAUNCHER launcher.exe]           or another launcher file
#       [FILES path[=name] ...]           files to extract (paths may be generator expressions)
#       [DIRECTORY dir[=name] ...]        every file below a directory
#       [MANIFEST file.json ...]          attachments from manifests
#       [COMMANDS program [PARAMS text] [LCID id] [IN_EXTRACTION_DIR] [QUIET] ...]
#       [ICON icon.ico]                   the setup file's icon
#       [VERSION_INFO KEY=VALUE ...]      its version details (setup_packer build --help)
#       [DEPENDS file-or-target ...])     more inputs, such as the files a manifest names
#
# Attachments are packed in the order FILES, DIRECTORY, MANIFEST, COMMANDS. Relative paths are
# taken from the current source directory. The setup file is made again when setup_packer, the
# launcher, an input file, a file below a DIRECTORY (new ones through a new configuration) or an
# argument changes, and only then.

# _setup_launcher_command_options(VARIABLE item...): COMMANDS as setup_packer's options.
function(_setup_launcher_command_options variable)
    set(options "")
    set(expect "")
    foreach(item IN LISTS ARGN)
        if(expect STREQUAL "PARAMS")
            list(APPEND options "--params=${item}")
            set(expect "")
        elseif(expect STREQUAL "LCID")
            list(APPEND options "--lcid=${item}")
            set(expect "")
        elseif(item STREQUAL "PARAMS" OR item STREQUAL "LCID")
            set(expect "${item}")
        elseif(item STREQUAL "IN_EXTRACTION_DIR")
            list(APPEND options "--in-extraction-dir")
        elseif(item STREQUAL "QUIET")
            list(APPEND options "--quiet")
        else()
            list(APPEND options "--command=${item}")
        endif()
    endforeach()
    if(expect)
        message(FATAL_ERROR "setup_launcher_add_setup: COMMANDS ends with ${expect} and no value")
    endif()
    set(${variable} "${options}" PARENT_SCOPE)
endfunction()

# _setup_launcher_path_option(OPTIONS DEPENDS option item): "PATH[=NAME]" with PATH made absolute.
macro(_setup_launcher_path_option options depends option item)
    if("${item}" MATCHES "^(.*)=([^=]*)$")
        set(_path "${CMAKE_MATCH_1}")
        set(_name "=${CMAKE_MATCH_2}")
    else()
        set(_path "${item}")
        set(_name "")
    endif()
    if(NOT _path MATCHES "^\\$<" AND NOT IS_ABSOLUTE "${_path}")
        set(_path "${CMAKE_CURRENT_SOURCE_DIR}/${_path}")
    endif()
    list(APPEND ${options} "${option}=${_path}${_name}")
    list(APPEND ${depends} "${_path}")
endmacro()

function(setup_launcher_add_setup target)
    cmake_parse_arguments(PARSE_ARGV 1 SETUP "ALL" "OUTPUT;ARCH;LAUNCHER;ICON"
                          "FILES;DIRECTORY;MANIFEST;COMMANDS;VERSION_INFO;DEPENDS")
    if(SETUP_UNPARSED_ARGUMENTS)
        message(FATAL_ERROR "setup_launcher_add_setup: unknown arguments: ${SETUP_UNPARSED_ARGUMENTS}")
    endif()
    if(NOT SETUP_OUTPUT)
        message(FATAL_ERROR "setup_launcher_add_setup(${target}): OUTPUT is required")
    endif()
    cmake_path(ABSOLUTE_PATH SETUP_OUTPUT BASE_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}")
    set(options build --no-progress --force "--output=${SETUP_OUTPUT}")
    set(depends "${SETUP_LAUNCHER_PACKER}")
    if(SETUP_LAUNCHER)
        cmake_path(ABSOLUTE_PATH SETUP_LAUNCHER BASE_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}")
        list(APPEND options "--launcher=${SETUP_LAUNCHER}")
        list(APPEND depends "${SETUP_LAUNCHER}")
    elseif(NOT SETUP_ARCH OR SETUP_ARCH STREQUAL "i686")
        list(APPEND depends "${SETUP_LAUNCHER_I686}")
    elseif(SETUP_ARCH STREQUAL "x86-64")
        list(APPEND depends "${SETUP_LAUNCHER_X86_64}")
    else()
        message(FATAL_ERROR "setup_launcher_add_setup(${target}): ARCH is i686 or x86-64, not "
                            "'${SETUP_ARCH}'")
    endif()
    if(SETUP_ARCH)
        list(APPEND options "--arch=${SETUP_ARCH}")
    endif()
    foreach(file IN LISTS SETUP_FILES)
        _setup_launcher_path_option(options depends --file "${file}")
    endforeach()
    foreach(directory IN LISTS SETUP_DIRECTORY)
        _setup_launcher_path_option(options ignored --directory "${directory}")
        list(GET ignored -1 root)
        file(GLOB_RECURSE below CONFIGURE_DEPENDS LIST_DIRECTORIES false "${root}/*")
        list(APPEND depends ${below})
    endforeach()
    foreach(manifest IN LISTS SETUP_MANIFEST)
        _setup_launcher_path_option(options depends --manifest "${manifest}")
    endforeach()
    _setup_launcher_command_options(command_options ${SETUP_COMMANDS})
    list(APPEND options ${command_options})
    if(SETUP_ICON)
        _setup_launcher_path_option(options depends --icon "${SETUP_ICON}")
    endif()
    foreach(setting IN LISTS SETUP_VERSION_INFO)
        list(APPEND options "--version-info=${setting}")
    endforeach()
    # The arguments in a file that changes only when they do: a changed argument makes the setup
    # file again whatever the generator, and an unchanged one never does.
    set(arguments "${CMAKE_CURRENT_BINARY_DIR}/${target}.setup_packer_arguments")
    string(REPLACE ";" "\n" argument_lines "${options}")
    file(GENERATE OUTPUT "${arguments}" CONTENT "${argument_lines}\n")
    add_custom_command(OUTPUT "${SETUP_OUTPUT}"
                       COMMAND "${SETUP_LAUNCHER_PACKER}" ${options}
                       DEPENDS ${depends} ${SETUP_DEPENDS} "${arguments}"
                       COMMENT "Packing the setup file ${SETUP_OUTPUT}"
                       VERBATIM)
    if(SETUP_ALL)
        add_custom_target(${target} ALL DEPENDS "${SETUP_OUTPUT}")
    else()
        add_custom_target(${target} DEPENDS "${SETUP_OUTPUT}")
    endif()
endfunction()
