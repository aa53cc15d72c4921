# lw_module(NAME [EXCLUDE_DIRS dir ...] DEPS ...): a static library of every .cpp below the
# current folder, less the named subfolders (which build libraries of their own).
function(lw_module name)
  cmake_parse_arguments(M "" "" "DEPS;EXCLUDE_DIRS" ${ARGN})
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  foreach(dir ${M_EXCLUDE_DIRS})
    list(FILTER sources EXCLUDE REGEX "^${CMAKE_CURRENT_SOURCE_DIR}/${dir}/")
  endforeach()
  if(sources)
    add_library(lw_${name} STATIC ${sources})
    target_include_directories(lw_${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(lw_${name} PUBLIC ${M_DEPS})
    target_compile_options(lw_${name} PRIVATE -Wall -Wextra)
  else()
    add_library(lw_${name} INTERFACE)
    target_include_directories(lw_${name} INTERFACE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(lw_${name} INTERFACE ${M_DEPS})
  endif()
endfunction()

# lw_tests(MODULE DEPS ...): one GoogleTest executable per tests/MODULE/*_test.cpp.
# Suites whose file name contains "concurrency" or "queue" are labelled MODULE-concurrency
# so the ThreadSanitizer tree (ctest -L concurrency) runs them.
function(lw_tests module)
  cmake_parse_arguments(T "" "" "DEPS" ${ARGN})
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  foreach(src ${tests})
    get_filename_component(stem ${src} NAME_WE)
    set(target ${module}_${stem})
    add_executable(${target} ${src})
    target_link_libraries(${target} PRIVATE ${T_DEPS} GTest::gmock GTest::gtest_main)
    if(LW_SANITIZE STREQUAL "thread")
      target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support/serial_tbb.cpp)
      target_link_libraries(${target} PRIVATE TBB::tbb)
    endif()
    target_compile_options(${target} PRIVATE -Wall -Wextra)
    target_compile_definitions(${target} PRIVATE
      LW_FIXTURES_DIR="${PROJECT_SOURCE_DIR}/tests/fixtures"
      LW_BINARY_DIR="${PROJECT_BINARY_DIR}")
    # One label per suite: a list would be split into separate properties by the
    # discovered tests' set_tests_properties(). `ctest -L` matches labels as a regex.
    set(labels ${module})
    if(stem MATCHES "concurrency|queue")
      set(labels ${module}-concurrency)
    endif()
    gtest_discover_tests(${target}
      DISCOVERY_MODE PRE_TEST
      DISCOVERY_TIMEOUT 60
      PROPERTIES LABELS "${labels}" TIMEOUT 600)
  endforeach()
endfunction()
