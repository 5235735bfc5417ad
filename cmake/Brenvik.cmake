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

# brenvik_fuzzer(NAME SOURCE LIBS ...): a libFuzzer target (clang only).
function(brenvik_fuzzer name source)
  add_executable(${name} ${source})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_libraries(${name} PRIVATE ${ARGN})
endfunction()
