# Build helpers shared by every subsystem folder.

if(WIN32)
    # Static runtime: the binaries import only system DLLs.
    add_link_options(-static -static-libgcc -static-libstdc++)
    add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601 WINVER=0x0601)
endif()

# Product code: warnings on, no exceptions or RTTI (nothing may unwind across an export).
function(horologix_product_options target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -fno-exceptions -fno-rtti)
endfunction()

# horologix_test(NAME SOURCES ... LIBS ... [MACHINE_STATE] [TIMEOUT s])
# A GoogleTest program; each test case becomes one CTest test named "<preset>.<Suite>.<case>".
# MACHINE_STATE marks programs that change machine-wide state of the Wine prefix (W32Time keys,
# services, the system folder): CTest runs those one at a time.
# The fuzz preset builds no GoogleTest programs.
function(horologix_test name)
    if(HOROLOGIX_FUZZ)
        return()
    endif()
    cmake_parse_arguments(T "MACHINE_STATE" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE ${T_LIBS} gtest gtest_main)
    target_compile_options(${name} PRIVATE -Wall -Wextra)
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 120)
    endif()
    set(props TIMEOUT ${T_TIMEOUT})
    if(T_MACHINE_STATE)
        list(APPEND props RESOURCE_LOCK prefix_machine_state)
    endif()
    gtest_discover_tests(${name}
        TEST_PREFIX "${HOROLOGIX_PRESET}."
        DISCOVERY_MODE PRE_TEST
        DISCOVERY_TIMEOUT 120
        PROPERTIES ${props})
endfunction()

# horologix_fuzz(NAME SOURCES ...)
# A libFuzzer target over the portable core, built in the fuzz preset only, with its committed
# seeds in <NAME>_corpus beside the sources. CTest runs it for a few seconds as "fuzz.<NAME>"
# over a copy of the seeds; tools/fuzz runs it for longer. Both find the targets through
# HOROLOGIX_FUZZ_LIST (one line per target: name, program, seed folder).
set(HOROLOGIX_FUZZ_LIST ${CMAKE_BINARY_DIR}/fuzz-targets.txt)
set(HOROLOGIX_FUZZ_SMOKE_SECONDS 5)
function(horologix_fuzz name)
    if(NOT HOROLOGIX_FUZZ)
        return()
    endif()
    cmake_parse_arguments(F "" "" "SOURCES" ${ARGN})
    add_executable(${name} ${F_SOURCES})
    target_link_libraries(${name} PRIVATE horologix_core)
    target_compile_options(${name} PRIVATE -Wall -Wextra)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzzers)
    set(seeds ${CMAKE_CURRENT_SOURCE_DIR}/${name}_corpus)
    file(APPEND ${HOROLOGIX_FUZZ_LIST} "${name} ${CMAKE_BINARY_DIR}/fuzzers/${name} ${seeds}\n")
    add_test(NAME ${HOROLOGIX_PRESET}.${name}
        COMMAND ${CMAKE_COMMAND} -DFUZZER=$<TARGET_FILE:${name}> -DSEEDS=${seeds}
                -DWORK=${CMAKE_BINARY_DIR}/fuzz-smoke/${name}
                -DSECONDS=${HOROLOGIX_FUZZ_SMOKE_SECONDS}
                -P ${CMAKE_SOURCE_DIR}/cmake/fuzz_smoke.cmake)
    set_tests_properties(${HOROLOGIX_PRESET}.${name} PROPERTIES TIMEOUT 120)
endfunction()
