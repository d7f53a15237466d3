# Compiler hardening as Debian builds its own packages: the flags that
# dpkg-buildflags gives with every hardening feature on (fortify source,
# stack protector, format checks, relro, BIND_NOW; PIE is the compiler's
# default). Its -g and -O2 are left to the build type. For the target
# architecture when cross-compiling (DEB_HOST_ARCH).
option(ORVIK_HARDENING "Compile and link with dpkg-buildflags' hardening flags" ON)
if(NOT ORVIK_HARDENING)
    return()
endif()
find_program(ORVIK_DPKG_BUILDFLAGS dpkg-buildflags)
if(NOT ORVIK_DPKG_BUILDFLAGS)
    message(STATUS "dpkg-buildflags not found: built without hardening flags (scripts/setup installs dpkg-dev)")
    return()
endif()

set(buildflags_env "DEB_BUILD_MAINT_OPTIONS=hardening=+all reproducible=-all")
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64")
    list(APPEND buildflags_env DEB_HOST_ARCH=arm64)
endif()
foreach(kind CPPFLAGS CFLAGS CXXFLAGS LDFLAGS)
    execute_process(COMMAND ${CMAKE_COMMAND} -E env ${buildflags_env} ${ORVIK_DPKG_BUILDFLAGS} --get ${kind}
                    OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed)
    if(failed)
        message(FATAL_ERROR "dpkg-buildflags --get ${kind} failed")
    endif()
    separate_arguments(flags UNIX_COMMAND "${flags}")
    list(FILTER flags EXCLUDE REGEX "^-(g|O[0-9sgz]?)$")
    list(JOIN flags " " ORVIK_HARDENING_${kind})
endforeach()

string(APPEND CMAKE_C_FLAGS " ${ORVIK_HARDENING_CPPFLAGS} ${ORVIK_HARDENING_CFLAGS}")
string(APPEND CMAKE_CXX_FLAGS " ${ORVIK_HARDENING_CPPFLAGS} ${ORVIK_HARDENING_CXXFLAGS}")
foreach(kind EXE SHARED MODULE)
    string(APPEND CMAKE_${kind}_LINKER_FLAGS " ${ORVIK_HARDENING_LDFLAGS}")
endforeach()
message(STATUS "Hardening (dpkg-buildflags): ${ORVIK_HARDENING_CPPFLAGS} ${ORVIK_HARDENING_CXXFLAGS} ${ORVIK_HARDENING_LDFLAGS}")
