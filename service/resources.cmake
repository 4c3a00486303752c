# Gives VarnholtScheduling.exe its version resource, made from the project's version, and
# its application manifest (asInvoker, the versions of Windows it supports).
foreach(part MAJOR MINOR PATCH TWEAK)
  set(VARNHOLT_VERSION_${part} "${PROJECT_VERSION_${part}}")
  if(VARNHOLT_VERSION_${part} STREQUAL "")
    set(VARNHOLT_VERSION_${part} 0)
  endif()
endforeach()

set(VARNHOLT_MANIFEST ${CMAKE_CURRENT_LIST_DIR}/VarnholtScheduling.manifest)
if(MSVC)
  # The MSVC linker embeds the manifests listed as sources, merged with its own.
  set(VARNHOLT_MANIFEST_RESOURCE "")
  target_sources(VarnholtScheduling PRIVATE ${VARNHOLT_MANIFEST})
else()
  # Other linkers embed nothing themselves: the resource script carries the manifest.
  set(VARNHOLT_MANIFEST_RESOURCE
      "CREATEPROCESS_MANIFEST_RESOURCE_ID RT_MANIFEST \"${VARNHOLT_MANIFEST}\"")
endif()

configure_file(${CMAKE_CURRENT_LIST_DIR}/version.rc.in ${CMAKE_BINARY_DIR}/version.rc @ONLY)
target_sources(VarnholtScheduling PRIVATE ${CMAKE_BINARY_DIR}/version.rc)
set_source_files_properties(${CMAKE_BINARY_DIR}/version.rc PROPERTIES OBJECT_DEPENDS ${VARNHOLT_MANIFEST})
