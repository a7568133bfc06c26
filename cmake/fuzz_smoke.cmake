# cmake -DFUZZER=program -DSEEDS=folder -DWORK=folder -DSECONDS=n -P fuzz_smoke.cmake
# A short fuzzing run as a test: the seeds are copied into a fresh working corpus (the fuzzer
# adds what it finds there, never to the committed seeds); any crash, leak or time-out fails.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/corpus ${WORK}/artifacts)
file(GLOB seeds ${SEEDS}/*)
if(NOT seeds)
    message(FATAL_ERROR "no seeds in ${SEEDS}")
endif()
file(COPY ${seeds} DESTINATION ${WORK}/corpus)
execute_process(
    COMMAND ${FUZZER} -max_total_time=${SECONDS} -timeout=10 -print_final_stats=1
            -artifact_prefix=${WORK}/artifacts/ ${WORK}/corpus
    RESULT_VARIABLE result)
file(GLOB findings ${WORK}/artifacts/*)
if(NOT result EQUAL 0 OR findings)
    message(FATAL_ERROR "${FUZZER} failed (exit ${result}); findings: ${findings}")
endif()
