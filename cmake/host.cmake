# Host build: the product's logic against the simulated machine, with the
# sanitizers on, and every host-side test.
enable_testing()
find_package(GTest REQUIRED)
include(GoogleTest)

add_compile_options(-Wall -Wextra -g -fsanitize=address,undefined -fno-omit-frame-pointer
                    -fno-sanitize-recover=undefined)
add_link_options(-fsanitize=address,undefined)

add_library(korvanta_core STATIC ${KORVANTA_CORE_SOURCES})
target_include_directories(korvanta_core PUBLIC ${CMAKE_SOURCE_DIR}/src)

file(GLOB_RECURSE KORVANTA_SIM_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/platform/sim/*.cpp)
add_library(korvanta_sim STATIC ${KORVANTA_SIM_SOURCES})
target_include_directories(korvanta_sim PUBLIC ${CMAKE_SOURCE_DIR}/src)

file(GLOB_RECURSE KORVANTA_HOST_TESTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/host/*.cpp)
add_executable(host_tests ${KORVANTA_HOST_TESTS})
target_include_directories(host_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(host_tests PRIVATE korvanta_core korvanta_sim GTest::gtest_main)
# The fault sweep runs the whole installer over the sample payload and CD.
target_compile_definitions(host_tests PRIVATE KORVANTA_EXAMPLES_DIR="${CMAKE_SOURCE_DIR}/examples")
gtest_discover_tests(host_tests DISCOVERY_TIMEOUT 60)

# The platform contract tests, against the simulated machine. The same sources
# run against the real Win32 implementation under Wine (cmake/windows.cmake).
add_executable(contract_tests_sim ${KORVANTA_CONTRACT_TESTS} ${CMAKE_SOURCE_DIR}/tests/contract/env_sim.cpp)
target_include_directories(contract_tests_sim PRIVATE ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(contract_tests_sim PRIVATE korvanta_core korvanta_sim GTest::gtest_main)
# They run once per Windows family: KORVANTA_SIM_PLATFORM sets the family of
# the simulated machine (tests/contract/env_sim.cpp).
gtest_discover_tests(contract_tests_sim DISCOVERY_TIMEOUT 60 TEST_PREFIX "sim.nt."
                     PROPERTIES ENVIRONMENT KORVANTA_SIM_PLATFORM=2)
gtest_discover_tests(contract_tests_sim DISCOVERY_TIMEOUT 60 TEST_PREFIX "sim.9x."
                     PROPERTIES ENVIRONMENT KORVANTA_SIM_PLATFORM=1)
