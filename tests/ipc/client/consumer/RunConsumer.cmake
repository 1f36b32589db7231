# Installs the TulvoCli package from the build tree, builds the consumer project against it
# with the same toolchain, and runs both of its programs under wine.
#   cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DWORK_DIR=... -DTOOLCHAIN=... -P RunConsumer.cmake
function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "failed (${result}): ${ARGN}\n${out}")
    endif()
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --component TulvoCli --prefix ${WORK_DIR}/prefix)
run(${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/build -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN}
    -DTulvoCli_DIR=${WORK_DIR}/prefix/lib/cmake/TulvoCli)
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
foreach(program consumer_dll consumer_static)
    # wine through the wrapper that turns address-space randomization off.
    run(timeout 60 ${CMAKE_CURRENT_LIST_DIR}/../../../../scripts/wine-bin/wine
        ${WORK_DIR}/build/${program}.exe)
endforeach()
message(STATUS "consumer built and run with the DLL and the static library")
