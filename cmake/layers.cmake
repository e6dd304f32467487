# Each folder of src/ is a library that sees only itself and the folders it
# may use: its include view holds a forwarding header for each of their
# headers and for nothing else, so an include from a layer above does not
# compile. The lists are whole (what a layer uses, and what those use).
#
#   app          the entry, the action dispatch and the fatal-error report
#   service      install, update, uninstall and the service's registration
#   download     fetching, verifying and placing the program files
#   environment  the processor check
#   diagnostics  the log, crash dumps and their pruning
#   files        link-safe file work and the program's protected folders
#   base         text conversion and the failure record
#   platform     every Windows call, through one table
set(VORA_LAYERS platform base files diagnostics environment download service app)
set(VORA_USES_platform "")
set(VORA_USES_base platform)
set(VORA_USES_files base platform)
set(VORA_USES_diagnostics files base platform)
set(VORA_USES_environment base platform)
set(VORA_USES_download files base platform)
set(VORA_USES_service download diagnostics files base platform)
set(VORA_USES_app service download environment diagnostics files base platform)

function(vora_layer_view layer)
  set(view ${CMAKE_BINARY_DIR}/layers/${layer})
  set(wanted "")
  foreach(seen IN LISTS layer VORA_USES_${layer})
    file(GLOB headers CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/${seen}/*.h ${CMAKE_SOURCE_DIR}/src/${seen}/*.def)
    foreach(header IN LISTS headers)
      get_filename_component(name ${header} NAME)
      file(CONFIGURE OUTPUT ${view}/${seen}/${name} CONTENT "#include \"${header}\"\n")
      list(APPEND wanted ${view}/${seen}/${name})
    endforeach()
  endforeach()
  # A header that moved or went must not stay visible from an old view.
  file(GLOB_RECURSE present ${view}/*)
  foreach(stale IN LISTS present)
    if(NOT stale IN_LIST wanted)
      file(REMOVE ${stale})
    endif()
  endforeach()
endfunction()

# The SHA extensions' intrinsics are parsed as this file's own target
# attribute sees them, not as a precompiled header saw them (GCC then takes
# _mm_alignr_epi8's immediate for a variable at -O0).
set_source_files_properties(${CMAKE_SOURCE_DIR}/src/download/sha256.cpp PROPERTIES SKIP_PRECOMPILE_HEADERS ON
                                                                             SKIP_UNITY_BUILD_INCLUSION ON)
foreach(layer IN LISTS VORA_LAYERS)
  vora_layer_view(${layer})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/${layer}/*.cpp)
  list(FILTER sources EXCLUDE REGEX "/src/app/main\\.cpp$|/src/platform/system_(windows|host)\\.cpp$")
  if(layer STREQUAL "platform")
    if(WIN32)
      list(APPEND sources ${CMAKE_SOURCE_DIR}/src/platform/system_windows.cpp)
    else()
      list(APPEND sources ${CMAKE_SOURCE_DIR}/src/platform/system_host.cpp)
    endif()
  endif()
  add_library(vora_${layer} STATIC ${sources})
  vora_precompiled_headers(vora_${layer} common)
  target_include_directories(vora_${layer} PRIVATE ${CMAKE_BINARY_DIR}/layers/${layer})
  target_include_directories(vora_${layer} PUBLIC ${CMAKE_BINARY_DIR}/generated)
  foreach(used IN LISTS VORA_USES_${layer})
    target_link_libraries(vora_${layer} PUBLIC vora_${used})
  endforeach()
endforeach()
