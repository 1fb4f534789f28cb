# Resources that every Windows executable of the product carries: a version resource and a
# manifest, both stamped with the one product version of project() and, for the manifest, with
# the processor the build is for.

# The manifests name the processor in Windows' own terms.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^i[3-6]86$")
    set(MANIFEST_ARCHITECTURE x86)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
    set(MANIFEST_ARCHITECTURE amd64)
else()
    message(FATAL_ERROR "No manifest architecture for the processor '${CMAKE_SYSTEM_PROCESSOR}'")
endif()

# Windows versions have four parts; the product's has three.
set(PRODUCT_VERSION_QUAD "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0")

# Gives TARGET a version resource naming it and describing it as DESCRIPTION.
function(add_version_resource target description)
    set(VERSION_FILE_DESCRIPTION "${description}")
    set(VERSION_INTERNAL_NAME "${target}")
    set(generated ${CMAKE_CURRENT_BINARY_DIR}/generated/${target}_version.rc)
    configure_file(${PROJECT_SOURCE_DIR}/cmake/version_info.rc.in ${generated} @ONLY)
    target_sources(${target} PRIVATE ${generated})
endfunction()

