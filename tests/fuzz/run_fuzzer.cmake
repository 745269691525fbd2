# Runs a libFuzzer target for a bounded time on a fresh copy of its seeds:
#   cmake -DFUZZER=... -DSEEDS=dir -DDICTIONARY=file -DWORK=dir -DSECONDS=n -P run_fuzzer.cmake
# WORK/corpus starts as a copy of SEEDS, so the source tree is never written;
# a failing input is saved in WORK as crash-*, leak-* or timeout-*.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
file(COPY ${SEEDS}/ DESTINATION ${WORK}/corpus)

execute_process(
    COMMAND ${FUZZER} ${WORK}/corpus
        -dict=${DICTIONARY}
        -max_total_time=${SECONDS}
        -timeout=10
        -print_final_stats=1
        -artifact_prefix=${WORK}/
    RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    file(GLOB found ${WORK}/crash-* ${WORK}/leak-* ${WORK}/timeout-* ${WORK}/oom-*)
    message(FATAL_ERROR "${FUZZER} failed (${result}); reproducer: ${found}")
endif()
