# systemd-tmpfiles, applied to the tmpfiles entry in a scratch root whose
# account database names the readers' account, creates the reader folder
# mode 0755 owned by that account: no other local account can write codes there.
file(REMOVE_RECURSE ${SCRATCH})
file(MAKE_DIRECTORY ${SCRATCH}/etc)
file(WRITE ${SCRATCH}/etc/passwd "root:x:0:0::/root:/bin/sh\norvik-readers:x:991:991::/nonexistent:/usr/sbin/nologin\n")
file(WRITE ${SCRATCH}/etc/group "root:x:0:\norvik-readers:x:991:\n")
find_program(TMPFILES systemd-tmpfiles)
if(NOT TMPFILES)
    message(FATAL_ERROR "systemd-tmpfiles not found (package systemd)")
endif()
execute_process(COMMAND ${TMPFILES} --root=${SCRATCH} --create ${CONF}
    RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "systemd-tmpfiles failed: ${err}")
endif()
foreach(check "tmp/Orvik_gamma=755 991 991" "tmp/pelk1300=755 0 0")
    string(REPLACE "=" ";" parts "${check}")
    list(GET parts 0 folder)
    list(GET parts 1 expected)
    execute_process(COMMAND stat -c "%a %u %g" ${SCRATCH}/${folder}
        OUTPUT_VARIABLE got OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT got STREQUAL expected)
        message(FATAL_ERROR "${folder}: mode, owner and group are '${got}', expected '${expected}'")
    endif()
endforeach()
file(REMOVE_RECURSE ${SCRATCH})
