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

# horologix_floor(DIR [FLOORS dir...])
# The library horologix_<DIR> of one subsystem folder, linked to the libraries of the floors
# below it. Its include root holds a single entry, a link to the folder (floors/<DIR>/<DIR> in
# the build folder), so "DIR/x.h" is found, and through the floors' roots their headers; a
# header of any other folder is "No such file or directory". The floors' roots pass on to
# whatever links the library.
function(horologix_floor dir)
    cmake_parse_arguments(F "" "" "FLOORS" ${ARGN})
    set(root ${CMAKE_BINARY_DIR}/floors/${dir})
    file(MAKE_DIRECTORY ${root})
    file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${dir} ${root}/${dir} SYMBOLIC)
    add_library(horologix_${dir} STATIC)
    target_include_directories(horologix_${dir} PUBLIC ${root})
    foreach(floor ${F_FLOORS})
        target_link_libraries(horologix_${dir} PUBLIC horologix_${floor})
    endforeach()
    horologix_product_options(horologix_${dir})
    set_property(GLOBAL APPEND PROPERTY HOROLOGIX_FLOOR_LIBRARIES horologix_${dir})
endfunction()

# Two probes the floors test builds (not part of the build itself): a file of the responder's
# floor that includes a history header, which must compile, and one that includes an agent
# header, which must fail for want of the file.
function(horologix_floor_probes)
    foreach(probe "down;history/drift_record.h" "up;agent/poll_clock.h")
        list(GET probe 0 name)
        list(GET probe 1 header)
        add_library(floor_probe_${name} OBJECT EXCLUDE_FROM_ALL
                    ${CMAKE_SOURCE_DIR}/cmake/floor_probe.cpp)
        target_link_libraries(floor_probe_${name} PRIVATE horologix_responder)
        target_compile_definitions(floor_probe_${name} PRIVATE
                                   FLOOR_PROBE_HEADER="${header}")
    endforeach()
    add_test(NAME ${HOROLOGIX_PRESET}.floors_refuse_an_upward_include
        COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${CMAKE_BINARY_DIR} -DUPWARD=agent/poll_clock.h
                -P ${CMAKE_SOURCE_DIR}/cmake/floor_probe_test.cmake)
    set_tests_properties(${HOROLOGIX_PRESET}.floors_refuse_an_upward_include PROPERTIES
                         TIMEOUT 300)
endfunction()

# horologix_test(NAME SOURCES ... LIBS ... [LOCKS resource...] [TIMEOUT s] [EXCLUDE pattern])
# A GoogleTest program; each test case becomes one CTest test named "<preset>.<Suite>.<case>".
# CTest runs the cases two at a time, each in a process of its own, all in the one Wine prefix of
# the bench session. LOCKS names what a program's cases share with other tests through that
# prefix; CTest never runs two tests that name the same resource at once (RESOURCE_LOCK):
#   w32time_keys     the machine's settings in HKLM: the Windows Time keys (Parameters, Config,
#                    TimeProviders, the agent's key), the product's keys (installation
#                    identifier, uninstall entry, Control Panel category), the family products'
#                    and the server service's keys, and the stand-in remote machines' registries
#   w32time_service  the W32Time stand-in service: its state, its scripted answers, its log
#   system_folder    files in C:\windows\system32 (kestrel.cpl, kestrel.old, drift.qx) and the
#                    pending file renames
#   temporary_views  the list of temporary files shown in Notepad, and Notepad itself
#   agent_objects    the agent's named kernel objects (shared blocks, events) and its process-wide
#                    state in the service or a test process
#   management_port  the management (quorvexnet) port and the agent's responder
#   web_browser      the prefix's http and https handlers, replaced by the bench's URL recorder,
#                    and its log
#   screen           the Xvfb screen: top-level windows found by class or caption, focus,
#                    screenshots
# A program that names none of them touches nothing shared and runs beside anything.
# EXCLUDE leaves out the cases a GoogleTest filter names (cases that run only in CTest entries of
# their own). The fuzz preset builds no GoogleTest programs.
set(HOROLOGIX_SHARED_RESOURCES w32time_keys w32time_service system_folder temporary_views
    agent_objects management_port web_browser screen)
function(horologix_test name)
    if(HOROLOGIX_FUZZ)
        return()
    endif()
    cmake_parse_arguments(T "" "TIMEOUT;EXCLUDE" "SOURCES;LIBS;LOCKS" ${ARGN})
    if(T_UNPARSED_ARGUMENTS)
        message(FATAL_ERROR "horologix_test(${name}): unknown arguments ${T_UNPARSED_ARGUMENTS}")
    endif()
    foreach(lock ${T_LOCKS})
        if(NOT lock IN_LIST HOROLOGIX_SHARED_RESOURCES)
            message(FATAL_ERROR "horologix_test(${name}): unknown resource ${lock}")
        endif()
    endforeach()
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE ${T_LIBS} gtest gtest_main)
    target_compile_options(${name} PRIVATE -Wall -Wextra)
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 120)
    endif()
    # A test that calls GTEST_SKIP is reported as skipped, not passed.
    set(props TIMEOUT ${T_TIMEOUT} SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]")
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
    # gtest_discover_tests hands its PROPERTIES on as one flat list, so a list value would keep
    # only its first item: the locks are set by a script of our own, run after discovery, on the
    # tests it listed in <name>_TESTS.
    if(T_LOCKS)
        set(locks_script ${CMAKE_CURRENT_BINARY_DIR}/${name}_locks.cmake)
        file(GENERATE OUTPUT ${locks_script} CONTENT
"if(${name}_TESTS)
  set_tests_properties(\${${name}_TESTS} PROPERTIES RESOURCE_LOCK \"${T_LOCKS}\")
endif()
")
        set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${locks_script})
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
