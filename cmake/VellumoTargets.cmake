# The one place that owns warning and sanitizer flags, and the helpers every folder uses.

find_program(VELLUMO_CCACHE ccache)
if(VELLUMO_CCACHE)
  set(CMAKE_CXX_COMPILER_LAUNCHER ${VELLUMO_CCACHE})
  set(CMAKE_C_COMPILER_LAUNCHER ${VELLUMO_CCACHE})
endif()

add_library(vl_flags INTERFACE)
target_compile_options(vl_flags INTERFACE -Wall -Wextra)
target_compile_features(vl_flags INTERFACE cxx_std_20)
if(VELLUMO_SANITIZE)
  target_compile_options(vl_flags INTERFACE -fsanitize=address,undefined -fno-omit-frame-pointer
                                            -fno-sanitize-recover=undefined)
  target_link_options(vl_flags INTERFACE -fsanitize=address,undefined)
endif()
option(VELLUMO_LIBFUZZER "Build fuzz targets with libFuzzer (clang only)" OFF)
# Real fuzzing needs coverage feedback from the libraries too, not only from the targets.
if(VELLUMO_LIBFUZZER AND CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  target_compile_options(vl_flags INTERFACE -fsanitize=fuzzer-no-link)
endif()

# vl_library(name SOURCES ... DEPS ...): a static core library rooted at the repository top,
# so includes read like "imaging/bitmap.h".
function(vl_library name)
  cmake_parse_arguments(A "" "" "SOURCES;DEPS;PRIVATE_DEPS" ${ARGN})
  add_library(${name} STATIC ${A_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC vl_flags ${A_DEPS} PRIVATE ${A_PRIVATE_DEPS})
endfunction()

# vl_glob_library(name DIR dir DEPS ... PRIVATE_DEPS ...): a static library of every *.cpp in
# dir; an interface library while the folder has no sources yet.
function(vl_glob_library name)
  cmake_parse_arguments(A "" "DIR" "DEPS;PRIVATE_DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${A_DIR}/*.cpp ${A_DIR}/*.c)
  if(sources)
    vl_library(${name} SOURCES ${sources} DEPS ${A_DEPS} PRIVATE_DEPS ${A_PRIVATE_DEPS})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE vl_flags ${A_DEPS})
  endif()
endfunction()

# vl_glob_test(name DIR dir DEPS ...): one test program of every *_test.cpp in dir.
function(vl_glob_test name)
  cmake_parse_arguments(A "" "DIR" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${A_DIR}/*_test.cpp)
  if(sources)
    vl_test(${name} SOURCES ${sources} DEPS ${A_DEPS})
  endif()
endfunction()

# vl_test(name SOURCES ... DEPS ...): one GoogleTest executable registered with ctest.
# Tests find fixtures and the public corpus through environment variables.
function(vl_test name)
  cmake_parse_arguments(A "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  target_link_libraries(${name} PRIVATE vl_flags ${A_DEPS} GTest::gtest GTest::gmock GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests)
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES ENVIRONMENT
    "VELLUMO_CORPUS=${VELLUMO_CORPUS_DIR};VELLUMO_FIXTURES=${VELLUMO_FIXTURES_DIR};QT_QPA_PLATFORM=offscreen;VELLUMO_NO_UPDATE_CHECK=1;VELLUMO_BUILD=${PROJECT_BINARY_DIR}")
endfunction()

# vl_fuzzer(name SOURCE file DEPS ...): a libFuzzer target when the compiler is clang with
# VELLUMO_LIBFUZZER on; otherwise linked with the replay main. Either way the seed corpus in
# fuzz/corpus/<name>/ is replayed by ctest.
function(vl_fuzzer name)
  cmake_parse_arguments(A "" "SOURCE" "DEPS" ${ARGN})
  if(VELLUMO_LIBFUZZER AND CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    add_executable(${name} ${A_SOURCE})
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  else()
    add_executable(${name} ${A_SOURCE} ${PROJECT_SOURCE_DIR}/fuzz/replay_main.cpp)
  endif()
  target_link_libraries(${name} PRIVATE vl_flags ${A_DEPS})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  set(corpus ${PROJECT_SOURCE_DIR}/fuzz/corpus/${name})
  if(NOT (VELLUMO_LIBFUZZER AND CMAKE_CXX_COMPILER_ID MATCHES "Clang"))
    add_test(NAME replay_${name} COMMAND ${name} ${corpus})
  endif()
endfunction()

# vl_bench(name SOURCES ... DEPS ...): a Google Benchmark program (not run by ctest).
function(vl_bench name)
  cmake_parse_arguments(A "" "" "SOURCES;DEPS" ${ARGN})
  find_package(benchmark REQUIRED)
  add_executable(${name} ${A_SOURCES})
  target_link_libraries(${name} PRIVATE vl_flags ${A_DEPS} benchmark::benchmark)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
endfunction()
