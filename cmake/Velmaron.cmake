# Build conventions shared by every folder.

add_library(velmaron_options INTERFACE)
target_compile_options(velmaron_options INTERFACE -Wall -Wextra -Werror)
# g++ 12 reports overlapping copies inside std::string concatenation at -O2 and above that cannot
# happen (a known false positive of that release); the warning stays on for every other compiler.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  target_compile_options(velmaron_options INTERFACE -Wno-restrict)
endif()
target_include_directories(velmaron_options INTERFACE ${PROJECT_SOURCE_DIR})
# Position-independent code (for the shared stand-ins) would otherwise keep every call to a
# small function of the same file a call, in case another library replaced it at load time;
# nothing here is meant to be replaced so.
if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  target_compile_options(velmaron_options INTERFACE -fno-semantic-interposition)
endif()
if(VELMARON_SANITIZE)
  target_compile_options(velmaron_options INTERFACE
    -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  target_link_options(velmaron_options INTERFACE -fsanitize=address,undefined)
endif()
if(VELMARON_TSAN)
  target_compile_options(velmaron_options INTERFACE -fsanitize=thread -fno-omit-frame-pointer)
  target_link_options(velmaron_options INTERFACE -fsanitize=thread)
endif()
if(VELMARON_FUZZ)
  target_compile_options(velmaron_options INTERFACE
    -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  target_link_options(velmaron_options INTERFACE -fsanitize=address,undefined)
endif()

find_package(Threads REQUIRED)

# velmaron_library(NAME SOURCES ... [DEPS ...])
# One static library per source folder; DEPS are the libraries of the layers below.
function(velmaron_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_link_libraries(${name} PUBLIC velmaron_options Threads::Threads ${ARG_DEPS})
endfunction()

# velmaron_test(NAME SOURCES ... [DEPS ...] [LABELS ...])
# One GoogleTest executable per source folder, discovered into CTest.
function(velmaron_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;LABELS" ${ARGN})
  if(NOT VELMARON_TESTS OR NOT ARG_SOURCES)
    return()
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE velmaron_options GTest::gtest GTest::gtest_main GTest::gmock ${ARG_DEPS})
  target_compile_definitions(${name} PRIVATE VELMARON_TEST_DATA="${PROJECT_SOURCE_DIR}/tests/data")
  set(props "")
  if(ARG_LABELS)
    set(props PROPERTIES LABELS "${ARG_LABELS}")
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 ${props})
endfunction()

# velmaron_fuzzer(NAME SOURCES ... [DEPS ...] [MAX_LEN BYTES])
function(velmaron_fuzzer name)
  cmake_parse_arguments(ARG "" "MAX_LEN" "SOURCES;DEPS" ${ARGN})
  if(NOT VELMARON_FUZZ)
    return()
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE velmaron_options ${ARG_DEPS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  # A brief run over the seed corpus (tests/fuzz/seeds/NAME); new inputs go to the build tree.
  set(work ${CMAKE_CURRENT_BINARY_DIR}/corpus/${name})
  set(seeds ${PROJECT_SOURCE_DIR}/tests/fuzz/seeds/${name})
  # A keyword dictionary, where the target has one (tests/fuzz/dicts/NAME.dict).
  set(dict ${PROJECT_SOURCE_DIR}/tests/fuzz/dicts/${name}.dict)
  set(dict_option "")
  if(EXISTS ${dict})
    set(dict_option "-dict='${dict}'")
  endif()
  # The longest input, where a target needs more than libFuzzer's default.
  if(ARG_MAX_LEN)
    set(dict_option "${dict_option} -max_len=${ARG_MAX_LEN}")
  endif()
  add_test(NAME fuzz_${name}
    COMMAND sh -c "mkdir -p '${work}' '${seeds}' && exec '$<TARGET_FILE:${name}>' -max_total_time=\${FUZZ_SECONDS:-15} -timeout=10 -rss_limit_mb=2048 ${dict_option} '${work}' '${seeds}'")
  set_tests_properties(fuzz_${name} PROPERTIES LABELS fuzz)
endfunction()
