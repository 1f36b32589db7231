# GoogleTest and GoogleMock from Debian's sources, built in both trees.
set(TULVO_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest source tree")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
if(TULVO_WIN)
    # MinGW's posix threads make GoogleTest's thread-safety checks work under wine.
    set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
endif()
add_subdirectory(${TULVO_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
include(GoogleTest)

# Per-test time limit (seconds), for each GoogleTest case. Every case so far ends within two
# seconds, and under wine a process start costs tens of milliseconds: the limit is there to stop
# a hung case early, never to measure one. A case that needs longer says so (TIMEOUT).
set(TULVO_TEST_TIMEOUT 30 CACHE STRING "Per-test time limit in seconds")

# Windows test programs run through scripts/wine-gtest.sh, which fails a crashed run that wine
# lets end with code 0 and stops a run whose wineserver has gone.
set(TULVO_WINE_GTEST ${PROJECT_SOURCE_DIR}/scripts/wine-gtest.sh)

# tulvo_add_gtest(NAME SOURCES a.cpp b.cpp LIBS x y [LABELS l] [RESOURCE_LOCK r] [RUN_SERIAL]
#                 [TIMEOUT seconds])
function(tulvo_add_gtest name)
    cmake_parse_arguments(T "RUN_SERIAL" "RESOURCE_LOCK;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE ${T_LIBS} tulvo_options GTest::gmock GTest::gtest_main)
    if(TULVO_WIN)
        set_target_properties(${name} PROPERTIES CROSSCOMPILING_EMULATOR ${TULVO_WINE_GTEST})
    endif()
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT ${TULVO_TEST_TIMEOUT})
    endif()
    set(props TIMEOUT ${T_TIMEOUT})
    if(T_LABELS)
        list(APPEND props LABELS "${T_LABELS}")
    endif()
    if(T_RESOURCE_LOCK)
        list(APPEND props RESOURCE_LOCK ${T_RESOURCE_LOCK})
    endif()
    if(T_RUN_SERIAL)
        list(APPEND props RUN_SERIAL TRUE)
    endif()
    gtest_discover_tests(${name}
        DISCOVERY_MODE PRE_TEST
        DISCOVERY_TIMEOUT 60
        WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin
        PROPERTIES ${props})
endfunction()

# tulvo_add_sim_test(TARGET COM_BASE): one CTest test per receive mode for a test program that
# needs simulated sensors, run through tests/device/link/run_with_sim.py (which sets
# FrameCompleteReads for the mode); the second one's name ends in _FrameCompleteReads. Fake
# devices added to wine's device tree show in other tests' enumerations, hence the lock.
function(tulvo_add_sim_test target com_base)
    set(host_tree_arg "")
    if(TULVO_HOST_BUILD_DIR)
        set(host_tree_arg --host-tree ${TULVO_HOST_BUILD_DIR})
    endif()
    foreach(mode 0 1)
        set(name ${target})
        if(mode)
            set(name ${name}_FrameCompleteReads)
        endif()
        add_test(NAME ${name}
            COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tests/device/link/run_with_sim.py
                    ${host_tree_arg} --com-base ${com_base} --timeout 120
                    --frame-complete-reads ${mode} $<TARGET_FILE:${target}>)
        set_tests_properties(${name} PROPERTIES TIMEOUT 150 LABELS sim RESOURCE_LOCK devicetree)
    endforeach()
endfunction()
