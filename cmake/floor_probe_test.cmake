# The floors test: in the build folder BUILD_DIR, a responder file that includes a header of its
# floors compiles, and one that includes UPWARD, a header of the agent above it, fails because
# the compiler finds no such file.
function(build_probe name result_var output_var)
    execute_process(
        COMMAND ${CMAKE_COMMAND} --build ${BUILD_DIR} --target floor_probe_${name}
        RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
    set(${result_var} ${result} PARENT_SCOPE)
    set(${output_var} "${output}" PARENT_SCOPE)
endfunction()

build_probe(down result output)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "an include of a lower floor did not compile:\n${output}")
endif()
build_probe(up result output)
if(result EQUAL 0)
    message(FATAL_ERROR "an include of ${UPWARD} from the responder's floor compiled")
endif()
string(REGEX MATCH "${UPWARD}: No such file or directory" refused "${output}")
if(NOT refused)
    message(FATAL_ERROR "the upward include failed for another reason:\n${output}")
endif()
message(STATUS "refused as it should be: ${refused}")
