# Small helpers so that each folder's CMakeLists stays a few lines long.
# Sources are collected per folder: a new module is a new .h/.cpp pair and
# nothing else has to be edited.

# zor_library(NAME DIR [LIBS ...]): a static library of every .cpp in DIR.
function(zor_library name dir)
  cmake_parse_arguments(ARG "" "" "LIBS;EXCLUDE" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${dir}/*.cpp)
  foreach(ex ${ARG_EXCLUDE})
    list(FILTER srcs EXCLUDE REGEX "/${ex}$")
  endforeach()
  add_library(${name} STATIC ${srcs})
  target_include_directories(${name} PUBLIC ${dir})
  target_link_libraries(${name} PUBLIC ${ARG_LIBS})
endfunction()

# zor_gtest_dir(DIR [LIBS ...]): one test binary per *_test.cpp in DIR,
# each registered with ctest case by case.
function(zor_gtest_dir dir)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  file(GLOB tests CONFIGURE_DEPENDS ${dir}/*_test.cpp)
  foreach(src ${tests})
    get_filename_component(base ${src} NAME_WE)
    file(RELATIVE_PATH rel ${CMAKE_SOURCE_DIR}/tests ${dir})
    string(REPLACE "/" "_" prefix ${rel})
    set(target "${prefix}_${base}")
    add_executable(${target} ${src})
    target_link_libraries(${target} PRIVATE zor_test_support ${ARG_LIBS} GTest::gmock GTest::gtest_main)
    gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
  endforeach()
endfunction()

# zor_strict_warnings(): -Wshadow -Wconversion -Wold-style-cast on every
# library and program defined so far, tests, benchmarks and fuzz targets
# included; called once at the end of the top level. g++ only: clang's
# -Wconversion also reports sign conversions, which g++ leaves to
# -Wsign-conversion and the code does not avoid. Targets whose names match
# a pattern in EXCEPT keep the house flags alone.
function(zor_targets_below dir out)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(sub ${subdirs})
    zor_targets_below(${sub} below)
    list(APPEND targets ${below})
  endforeach()
  set(${out} ${targets} PARENT_SCOPE)
endfunction()

function(zor_strict_warnings)
  cmake_parse_arguments(ARG "" "" "EXCEPT" ${ARGN})
  zor_targets_below(${CMAKE_SOURCE_DIR} targets)
  foreach(t ${targets})
    get_target_property(type ${t} TYPE)
    set(strict OFF)
    if(type STREQUAL "STATIC_LIBRARY" OR type STREQUAL "EXECUTABLE")
      set(strict ON)
    endif()
    foreach(pattern ${ARG_EXCEPT})
      if(t MATCHES "^${pattern}$")
        set(strict OFF)
      endif()
    endforeach()
    if(strict)
      target_compile_options(${t} PRIVATE "$<$<CXX_COMPILER_ID:GNU>:-Wshadow;-Wconversion;-Wold-style-cast>")
    endif()
  endforeach()
endfunction()
