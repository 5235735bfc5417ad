# Small helpers so every subsystem declares its libraries and tests the same way.

# brenvik_engine(NAME sources...): a static engine library without Qt.
function(brenvik_engine name)
  add_library(${name} STATIC ${ARGN})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
endfunction()

# brenvik_page(NAME sources...): a static Qt library holding a tool page.
function(brenvik_page name)
  add_library(${name} STATIC ${ARGN})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC brenvik_shell)
endfunction()

# brenvik_gtest(NAME LABEL label SOURCES ... LIBS ...): a GoogleTest engine test.
function(brenvik_gtest name)
  cmake_parse_arguments(T "" "LABEL" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} brenvik_testsupport GTest::gtest_main)
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES LABELS "${T_LABEL}" TIMEOUT 600)
endfunction()

# brenvik_qtest(NAME LABEL label SOURCES ... LIBS ...): a headless QtTest page test.
function(brenvik_qtest name)
  cmake_parse_arguments(T "" "LABEL" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} brenvik_testsupport Qt6::Test)
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES LABELS "${T_LABEL}" TIMEOUT 600
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
endfunction()

# brenvik_fuzzer(NAME SOURCE LIBS ...): a libFuzzer target (clang only) in the fuzz build. In a
# build with tests, the same source becomes NAME_replay instead, and the test fuzz_replay_NAME runs
# it over the target's seeds (corpus/<short name>) and found inputs (regressions/<short name>),
# where <short name> is NAME without "_fuzzer".
function(brenvik_fuzzer name source)
  if(BRENVIK_BUILD_FUZZERS)
    add_executable(${name} ${source})
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_libraries(${name} PRIVATE ${ARGN})
  elseif(BRENVIK_BUILD_TESTS)
    string(REGEX REPLACE "_fuzzer$" "" short ${name})
    add_executable(${name}_replay ${source} ${PROJECT_SOURCE_DIR}/fuzz/ReplayMain.cpp)
    target_link_libraries(${name}_replay PRIVATE ${ARGN})
    add_test(NAME fuzz_replay_${name} COMMAND ${name}_replay
      ${CMAKE_CURRENT_SOURCE_DIR}/corpus/${short} ${CMAKE_CURRENT_SOURCE_DIR}/regressions/${short})
    set_tests_properties(fuzz_replay_${name} PROPERTIES LABELS fuzz TIMEOUT 600)
  endif()
endfunction()
