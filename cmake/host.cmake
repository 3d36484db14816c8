# The logic against the simulated platform, with sanitizers, for the tests.
set(VOKXP_SIM
  src/platform/sim/process.cpp
  src/platform/sim/registry.cpp
  src/platform/sim/files.cpp)

set(VOKXP_WARNINGS -Wall -Wextra -Werror)
if(VOKXP_FUZZ)
  set(VOKXP_SANITIZE -fsanitize=address,undefined)
  add_executable(tokenizer_fuzz tests/fuzz/tokenizer_fuzz.cpp ${VOKXP_LOGIC} ${VOKXP_SIM})
  target_include_directories(tokenizer_fuzz PRIVATE src)
  target_compile_options(tokenizer_fuzz PRIVATE ${VOKXP_WARNINGS} -fsanitize=fuzzer ${VOKXP_SANITIZE})
  target_link_options(tokenizer_fuzz PRIVATE -fsanitize=fuzzer ${VOKXP_SANITIZE} -rdynamic)
  target_link_libraries(tokenizer_fuzz PRIVATE dl)
  return()
endif()

set(VOKXP_SANITIZE -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
find_package(GTest REQUIRED)
enable_testing()

file(GLOB VOKXP_UNIT_TESTS CONFIGURE_DEPENDS tests/unit/*.cpp)
add_executable(unit_tests ${VOKXP_UNIT_TESTS} ${VOKXP_LOGIC} ${VOKXP_SIM})
target_include_directories(unit_tests PRIVATE src tests/unit)
target_compile_options(unit_tests PRIVATE ${VOKXP_WARNINGS} ${VOKXP_SANITIZE})
target_link_options(unit_tests PRIVATE ${VOKXP_SANITIZE})
target_link_libraries(unit_tests PRIVATE GTest::gtest GTest::gtest_main dl)
include(GoogleTest)
gtest_discover_tests(unit_tests)
