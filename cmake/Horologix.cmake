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

# horologix_test(NAME SOURCES ... LIBS ... [MACHINE_STATE] [TIMEOUT s] [EXCLUDE pattern])
# A GoogleTest program; each test case becomes one CTest test named "<preset>.<Suite>.<case>".
# MACHINE_STATE marks programs that change machine-wide state of the Wine prefix (W32Time keys,
# services, the system folder): CTest runs those one at a time. EXCLUDE leaves out the cases a
# GoogleTest filter names (cases that run only in CTest entries of their own).
# The fuzz preset builds no GoogleTest programs.
function(horologix_test name)
    if(HOROLOGIX_FUZZ)
        return()
    endif()
    cmake_parse_arguments(T "MACHINE_STATE" "TIMEOUT;EXCLUDE" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE ${T_LIBS} gtest gtest_main)
    target_compile_options(${name} PRIVATE -Wall -Wextra)
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 120)
    endif()
    # A test that calls GTEST_SKIP is reported as skipped, not passed.
    set(props TIMEOUT ${T_TIMEOUT} SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]")
    if(T_MACHINE_STATE)
        list(APPEND props RESOURCE_LOCK prefix_machine_state)
    endif()
    set(filter "")
    if(T_EXCLUDE)
        set(filter TEST_FILTER "-${T_EXCLUDE}")
    endif()
    gtest_discover_tests(${name}
        TEST_PREFIX "${HOROLOGIX_PRESET}."
        ${filter}
        DISCOVERY_MODE PRE_TEST
        DISCOVERY_TIMEOUT 120
        PROPERTIES ${props})
    if(WIN32 AND CMAKE_SIZEOF_VOID_P EQUAL 4)
        horologix_skippable_32bit_tests(${name} ${T_SOURCES})
    endif()
endfunction()

# Discovering the tests of a 32-bit program means running it, which machines without 32-bit
# emulation cannot do. There (HOROLOGIX_IA32_OFF holds the reason, set by tools/run-ctests) the
# program's tests are listed from its 64-bit twin, built from the same sources in the win64
# preset (or, for a program without one, from the TEST and TEST_F lines of its sources), and
# registered as disabled: CTest reports each as not run, and the counts stay those of a machine
# that runs them. Elsewhere discovery runs as usual. So a test program must hold the same tests
# in both builds: a test that cannot run in one of them skips itself there (GTEST_SKIP), and
# tools/run-ctests-32bit-test compares the two lists where 32-bit programs run.
function(horologix_skippable_32bit_tests name)
    set(scanned "")
    foreach(source ${ARGN})
        get_filename_component(source ${source} ABSOLUTE)
        file(STRINGS ${source} lines REGEX "^TEST(_F)?\\([A-Za-z0-9_]+, *[A-Za-z0-9_]+\\)")
        foreach(line ${lines})
            string(REGEX REPLACE "^TEST(_F)?\\(([A-Za-z0-9_]+), *([A-Za-z0-9_]+)\\).*" "\\2.\\3"
                   test "${line}")
            list(APPEND scanned ${test})
        endforeach()
    endforeach()
    get_property(includes DIRECTORY PROPERTY TEST_INCLUDE_FILES)
    list(POP_BACK includes discovery)
    cmake_path(GET CMAKE_BINARY_DIR PARENT_PATH builds)
    file(RELATIVE_PATH here ${CMAKE_BINARY_DIR} ${CMAKE_CURRENT_BINARY_DIR})
    set(wrapper ${CMAKE_CURRENT_BINARY_DIR}/${name}_ia32_include.cmake)
    file(GENERATE OUTPUT ${wrapper} CONTENT
"if(\"\$ENV{HOROLOGIX_IA32_OFF}\" STREQUAL \"\")
  include(\"${discovery}\")
else()
  set(HOROLOGIX_DISCOVERY \"${discovery}\")
  set(HOROLOGIX_PROGRAM \"$<TARGET_FILE:${name}>\")
  set(HOROLOGIX_TWIN \"${builds}/win64/${here}/$<TARGET_FILE_NAME:${name}>\")
  set(HOROLOGIX_TARGET ${name})
  set(HOROLOGIX_SCANNED \"${scanned}\")
  set(HOROLOGIX_TEST_PREFIX \"${HOROLOGIX_PRESET}.\")
  include(\"${CMAKE_SOURCE_DIR}/cmake/skip_32bit_tests.cmake\")
endif()
")
    set_property(DIRECTORY PROPERTY TEST_INCLUDE_FILES ${includes} ${wrapper})
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
