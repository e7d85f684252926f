# Shared settings for the project's own targets. Third-party code never goes
# through these functions, so warnings (and, with VANTREL_WERROR, warnings as
# errors) apply to our code only.

set(VANTREL_WARNING_FLAGS -Wall -Wextra)
if(VANTREL_WERROR)
  list(APPEND VANTREL_WARNING_FLAGS -Werror)
endif()
# GCC 12 at -O3 reports an overlapping memcpy of 2^63 bytes inside libstdc++'s
# own `"text" + std::string` (GCC bug 105329); every such concatenation in the
# tree would otherwise fail a packager's -O3 build.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  list(APPEND VANTREL_WARNING_FLAGS -Wno-restrict)
endif()

if(VANTREL_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
endif()
if(VANTREL_FUZZ)
  # Every library gets coverage instrumentation; only fuzz targets link the driver.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# vantrel_target_defaults(<target>): the project's warnings and C++20 on one of our targets.
function(vantrel_target_defaults target)
  target_compile_options(${target} PRIVATE ${VANTREL_WARNING_FLAGS})
  target_compile_features(${target} PUBLIC cxx_std_20)
endfunction()

# vantrel_add_library(<name> [STATIC] SOURCES ... [PUBLIC_LIBS ...] [PRIVATE_LIBS ...] [INCLUDE <dir>])
function(vantrel_add_library name)
  cmake_parse_arguments(A "" "INCLUDE" "SOURCES;PUBLIC_LIBS;PRIVATE_LIBS" ${ARGN})
  add_library(${name} STATIC ${A_SOURCES})
  vantrel_target_defaults(${name})
  if(A_INCLUDE)
    target_include_directories(${name} PUBLIC ${A_INCLUDE})
  else()
    target_include_directories(${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/include)
  endif()
  target_link_libraries(${name} PUBLIC ${A_PUBLIC_LIBS} PRIVATE ${A_PRIVATE_LIBS})
endfunction()

# vantrel_add_program(<name> SOURCES ... [LIBS ...])
function(vantrel_add_program name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  vantrel_target_defaults(${name})
  target_link_libraries(${name} PRIVATE ${A_LIBS})
  install(TARGETS ${name} RUNTIME DESTINATION bin)
endfunction()

# vantrel_add_test(<name> SOURCES ... [LIBS ...] [LABELS ...] [TIMEOUT s] [SERIAL])
# One GoogleTest binary; every TEST becomes its own CTest test.
function(vantrel_add_test name)
  cmake_parse_arguments(A "SERIAL" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  vantrel_target_defaults(${name})
  target_link_libraries(${name} PRIVATE vantrel_test_support GTest::gtest GTest::gmock GTest::gtest_main ${A_LIBS})
  if(NOT A_TIMEOUT)
    set(A_TIMEOUT 120)
  endif()
  set(props TIMEOUT ${A_TIMEOUT})
  if(A_LABELS)
    list(APPEND props LABELS "${A_LABELS}")
  endif()
  if(A_SERIAL)
    list(APPEND props RUN_SERIAL TRUE)
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60 PROPERTIES ${props})
endfunction()
