# SPDX-License-Identifier: MIT
# Checks an installed tree as users meet it. Run with cmake -P:
#   -DCHECK=consumers|sdk_root -DBUILD_DIR= -DSOURCE_DIR= -DWORK_DIR= -DCC= -DCXX= -DNM=
#   -DCFLAGS= -DCXXFLAGS= -DLDFLAGS=   (the build's own flags, for sanitizer builds)
#   -DEMULATOR= -DTOOLCHAIN_FILE= -DPKG_CONFIG_LIBDIR=   (a build for another
#   architecture: what runs its programs, and how to build and link for it)
#   -DCRYPTO_LINK=   how the linker finds libcrypto (-lcrypto unless given)
#
# consumers: libsealkit needs no C++ runtime symbol (shared: it has a SONAME and
#   exports the public functions only); a C99 program links it with -lcrypto
#   alone, through pkg-config (with and without --static), and find_package.
# sdk_root: pushdemo built against the installed SDK header and library
#   (OSTREL_SDK_ROOT) runs, and the installed pushdemo finds its SDK.
file(REMOVE_RECURSE "${WORK_DIR}")
set(prefix "${WORK_DIR}/prefix")
separate_arguments(EMULATOR)  # the programs built here run through it, when set
set(toolchain "")
if(TOOLCHAIN_FILE)
    set(toolchain "-DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN_FILE}")
endif()
if(PKG_CONFIG_LIBDIR)
    set(ENV{PKG_CONFIG_LIBDIR} "${PKG_CONFIG_LIBDIR}")
endif()

function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(NOT rc EQUAL 0)
        string(REPLACE ";" " " cmd "${ARGN}")
        message(FATAL_ERROR "failed (${rc}): ${cmd}\n${out}")
    endif()
    set(last_output "${out}" PARENT_SCOPE)
endfunction()

run("${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${prefix}")
separate_arguments(cflags UNIX_COMMAND "${CFLAGS}")
set(consumer "${SOURCE_DIR}/tests/install/consumers/c_consumer.c")

# Runs pushdemo and expects it to end at once with this status and output.
function(expect_pushdemo exe status output)
    execute_process(COMMAND ${EMULATOR} "${exe}" RESULT_VARIABLE rc OUTPUT_VARIABLE out)
    if(NOT rc EQUAL status OR NOT out STREQUAL output)
        message(FATAL_ERROR "${exe}: status ${rc}, output '${out}'")
    endif()
endfunction()

if(CHECK STREQUAL "consumers")
    # lib, lib64 or a multiarch lib/<triplet>
    file(GLOB lib "${prefix}/lib*/libsealkit.a" "${prefix}/lib*/libsealkit.so"
         "${prefix}/lib/*/libsealkit.a" "${prefix}/lib/*/libsealkit.so")
    if(NOT NM)
        set(NM nm)
    endif()
    get_filename_component(libdir "${lib}" DIRECTORY)
    if(lib MATCHES "\\.so$")
        # Shared: a SONAME, exactly the public functions exported, and no C++ runtime.
        execute_process(COMMAND readelf -d "${lib}" OUTPUT_VARIABLE dyn)
        if(NOT dyn MATCHES "SONAME[^\n]*libsealkit\\.so\\.1\\]" OR dyn MATCHES "libstdc\\+\\+")
            message(FATAL_ERROR "libsealkit.so: no SONAME libsealkit.so.1, or needs libstdc++:\n${dyn}")
        endif()
        execute_process(COMMAND "${NM}" -D --defined-only "${lib}" OUTPUT_VARIABLE defined)
        string(REGEX MATCHALL "[ \t][A-Za-z_][A-Za-z0-9_]*\n" exported "${defined}")
        string(REGEX REPLACE "[ \t\n]" "" exported "${exported}")
        list(SORT exported)
        file(STRINGS "${SOURCE_DIR}/sealkit/sealkit.h" decls REGEX "^[A-Za-z][^(]*[ *](CRYPTO|sealkit_)[A-Za-z0-9_]*\\(")
        set(public "")
        list(FILTER decls EXCLUDE REGEX "static inline")
        # A declaration's ';' splits it into list items; newer CMake keeps
        # the empty ones, which name nothing.
        foreach(d IN LISTS decls)
            string(REGEX MATCH "(CRYPTO|sealkit_)[A-Za-z0-9_]*\\(" name "${d}")
            string(REPLACE "(" "" name "${name}")
            if(name)
                list(APPEND public "${name}")
            endif()
        endforeach()
        list(SORT public)
        if(NOT exported STREQUAL public)
            message(FATAL_ERROR "libsealkit.so exports\n  ${exported}\nnot the public functions\n  ${public}")
        endif()
        execute_process(COMMAND "${NM}" -D -u "${lib}" OUTPUT_VARIABLE undefined)
    else()
        execute_process(COMMAND "${NM}" -u "${lib}" OUTPUT_VARIABLE undefined)
    endif()
    # __cxa_finalize and __cxa_atexit come from libc, not the C++ runtime.
    string(REGEX REPLACE "__cxa_(finalize|atexit)" "" undefined "${undefined}")
    string(REGEX MATCHALL "[ \t](_Z[A-Za-z0-9_]*|__cxa_[a-z_]*|__gxx_[a-z_]*)" cxx "${undefined}")
    if(cxx)
        message(FATAL_ERROR "${lib} needs the C++ runtime:${cxx}")
    endif()

    # Plain cc, the installed header and library, libcrypto and nothing else.
    if(NOT CRYPTO_LINK)
        set(CRYPTO_LINK -lcrypto)
    endif()
    separate_arguments(crypto_link UNIX_COMMAND "${CRYPTO_LINK}")
    run("${CC}" -std=c99 -pedantic-errors -Wall -Wextra -Werror ${cflags}
        -I "${prefix}/include" "${consumer}" -L "${libdir}" -Wl,-rpath,${libdir} -lsealkit
        ${crypto_link} -o "${WORK_DIR}/plain")
    run(${EMULATOR} "${WORK_DIR}/plain")

    # pkg-config, plain and --static: both must link as they stand.
    set(ENV{PKG_CONFIG_PATH} "${libdir}/pkgconfig")
    foreach(mode shared static)
        set(flag "")
        if(mode STREQUAL "static")
            set(flag --static)
        endif()
        run(pkg-config --cflags --libs ${flag} sealkit)
        separate_arguments(pc UNIX_COMMAND "${last_output}")
        run("${CC}" -std=c99 -Wall -Werror ${cflags} "${consumer}" ${pc} -Wl,-rpath,${libdir}
            -o "${WORK_DIR}/pkgconfig_${mode}")
        run(${EMULATOR} "${WORK_DIR}/pkgconfig_${mode}")
    endforeach()

    # find_package(sealkit CONFIG).
    run("${CMAKE_COMMAND}" -S "${SOURCE_DIR}/tests/install/consumers" -B "${WORK_DIR}/cmake" -G Ninja
        "-DCMAKE_PREFIX_PATH=${prefix}" "-DCMAKE_C_COMPILER=${CC}" "-DCMAKE_C_FLAGS=${CFLAGS}"
        "-DCMAKE_EXE_LINKER_FLAGS=${LDFLAGS}" ${toolchain})
    run("${CMAKE_COMMAND}" --build "${WORK_DIR}/cmake")
    run(${EMULATOR} "${WORK_DIR}/cmake/c_consumer")

    # The installed command runs from the prefix as it is (a shared build's
    # finds libsealkit.so.1 through its run path, unless that was turned off).
    set(ENV{LD_LIBRARY_PATH} "")
    if(NOT RPATH)
        set(ENV{LD_LIBRARY_PATH} "${libdir}")
    endif()
    run(${EMULATOR} "${prefix}/bin/sealkit" --version)
    # The Python package under the prefix: the docs test runs the README's
    # example of it.
elseif(CHECK STREQUAL "sdk_root")
    # No empty run-path entry, in the build tree or installed: the loader
    # would search the current directory for the SDK.
    foreach(exe "${BUILD_DIR}/bin/pushdemo" "${prefix}/bin/pushdemo")
        execute_process(COMMAND readelf -d "${exe}" OUTPUT_VARIABLE dyn)
        if(dyn MATCHES "R(UN)?PATH[^\n]*\\[(:|[^]\n]*::|[^]\n]*:\\])")
            message(FATAL_ERROR "${exe} has an empty run-path entry:\n${dyn}")
        endif()
    endforeach()
    # The installed pushdemo finds the SDK through its run path alone.
    set(ENV{LD_LIBRARY_PATH} "")
    set(ENV{OSTREL_SDK_INIT_RESULT} "-1")
    expect_pushdemo("${prefix}/bin/pushdemo" 1 "Init error.\n")

    # Built against an installed SDK, as against a real one.
    run("${CMAKE_COMMAND}" -S "${SOURCE_DIR}" -B "${WORK_DIR}/build" -G Ninja
        "-DOSTREL_SDK_ROOT=${prefix}" -DSEALKIT_BUILD_TESTS=OFF -DSEALKIT_BUILD_BENCH=OFF
        -DSEALKIT_BUILD_EXAMPLES=OFF "-DCMAKE_C_COMPILER=${CC}" "-DCMAKE_CXX_COMPILER=${CXX}"
        "-DCMAKE_C_FLAGS=${CFLAGS}" "-DCMAKE_CXX_FLAGS=${CXXFLAGS}"
        "-DCMAKE_EXE_LINKER_FLAGS=${LDFLAGS}" "-DCMAKE_SHARED_LINKER_FLAGS=${LDFLAGS}" ${toolchain})
    run("${CMAKE_COMMAND}" --build "${WORK_DIR}/build" --target pushdemo)
    execute_process(COMMAND readelf -d "${WORK_DIR}/build/bin/pushdemo" OUTPUT_VARIABLE dyn)
    if(NOT dyn MATCHES "NEEDED[^\n]*libostrel_sdk\\.so\\]" OR NOT dyn MATCHES "${prefix}/lib")
        message(FATAL_ERROR "pushdemo does not load the SDK from ${prefix}/lib:\n${dyn}")
    endif()
    set(ENV{OSTREL_SDK_INIT_RESULT} "")
    set(ENV{OSTREL_SDK_START_RESULT} "-1")
    expect_pushdemo("${WORK_DIR}/build/bin/pushdemo" 1 "Start error.\n")
else()
    message(FATAL_ERROR "CHECK must be consumers or sdk_root")
endif()
