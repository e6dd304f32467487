# Precompiled headers: the outside headers nearly every unit includes
# (cmake/precompiled/common.h; tests.h adds GoogleTest) are parsed once per
# build and reused by every target, where parsing them took a large share
# of each file's compile. clang-tidy reads a tree configured without them
# (its clang cannot load GCC's).
option(VORA_PRECOMPILED_HEADERS "Reuse precompiled outside headers across targets" ON)

if(VORA_PRECOMPILED_HEADERS)
  # The targets that make the two headers carry exactly the definitions and
  # options of the targets that reuse them, or the compiler refuses the reuse.
  set(kinds common)
  if(VORA_BUILD_TESTS)
    list(APPEND kinds tests)
  endif()
  foreach(kind IN LISTS kinds)
    add_library(vora_pch_${kind} STATIC ${CMAKE_SOURCE_DIR}/cmake/precompiled/anchor.cpp)
    target_link_libraries(vora_pch_${kind} PRIVATE vora::spdlog vora::argparse vora::json)
    if(WIN32)
      target_compile_definitions(vora_pch_${kind} PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX)
    endif()
    target_precompile_headers(vora_pch_${kind} PRIVATE ${CMAKE_SOURCE_DIR}/cmake/precompiled/${kind}.h)
  endforeach()
  if(VORA_BUILD_TESTS)
    target_link_libraries(vora_pch_tests PRIVATE GTest::gtest GTest::gmock)
  endif()
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    # GCC 12 forgets that a precompiled libstdc++ header is a system header,
    # and its string code then shows the false bounds warnings of GCC bugs
    # 105651 and 105329 as if they were ours (-Wrestrict, the same family,
    # is left out above for every build).
    add_compile_options(-Wno-array-bounds -Wno-stringop-overread -Wno-stringop-overflow)
  endif()
endif()

# kind: common, or tests for what includes GoogleTest.
function(vora_precompiled_headers target kind)
  if(VORA_PRECOMPILED_HEADERS)
    target_precompile_headers(${target} REUSE_FROM vora_pch_${kind})
  endif()
endfunction()
