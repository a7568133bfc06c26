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
function(horologix_test name)
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
