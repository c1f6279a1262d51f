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
