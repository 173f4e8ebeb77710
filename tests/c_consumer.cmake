# Installs the build into a fresh prefix, checks that libsealkit.a needs no
# C++ runtime symbol, then compiles a C99 program against the installed header
# and links it with libcrypto alone, and runs it.
#   -DBUILD_DIR= -DWORK_DIR= -DSOURCE= -DCC= -DCFLAGS= -DNM=
file(REMOVE_RECURSE "${WORK_DIR}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${WORK_DIR}/prefix"
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "install failed")
endif()
set(prefix "${WORK_DIR}/prefix")
file(GLOB lib "${prefix}/lib*/libsealkit.a")
if(NOT lib OR NOT EXISTS "${prefix}/include/sealkit.h")
    message(FATAL_ERROR "install did not place include/sealkit.h and lib/libsealkit.a")
endif()

execute_process(COMMAND "${NM}" -u "${lib}" OUTPUT_VARIABLE undefined RESULT_VARIABLE rc)
string(REGEX MATCHALL "[ \t](_Z[A-Za-z0-9_]*|__cxa_[a-z_]*|__gxx_[a-z_]*)" cxx "${undefined}")
if(cxx)
    message(FATAL_ERROR "libsealkit.a needs the C++ runtime:${cxx}")
endif()

separate_arguments(flags UNIX_COMMAND "${CFLAGS}")
execute_process(
    COMMAND "${CC}" -std=c99 -pedantic-errors -Wall -Wextra -Werror ${flags}
            -I "${prefix}/include" "${SOURCE}" "${lib}" -lcrypto -o "${WORK_DIR}/c_consumer"
    RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "a C program does not link libsealkit.a with -lcrypto alone")
endif()
execute_process(COMMAND "${WORK_DIR}/c_consumer" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "the C consumer failed")
endif()
