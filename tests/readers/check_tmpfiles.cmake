# systemd-tmpfiles, applied to the tmpfiles entries in a scratch root whose
# account database names the services' accounts, creates the reader folder
# mode 0755 owned by the readers' account (no other local account can write
# codes there) and the controller's state-file folder mode 0750 owned by the
# controller's account. CONF is the comma-separated list of entries.
file(REMOVE_RECURSE ${SCRATCH})
file(MAKE_DIRECTORY ${SCRATCH}/etc)
file(WRITE ${SCRATCH}/etc/passwd "root:x:0:0::/root:/bin/sh\norvik-readers:x:991:991::/nonexistent:/usr/sbin/nologin\n"
    "orvik-cabinet:x:990:990::/nonexistent:/usr/sbin/nologin\n")
file(WRITE ${SCRATCH}/etc/group "root:x:0:\norvik-readers:x:991:\norvik-cabinet:x:990:\n")
find_program(TMPFILES systemd-tmpfiles)
if(NOT TMPFILES)
    message(FATAL_ERROR "systemd-tmpfiles not found (package systemd)")
endif()
string(REPLACE "," ";" entries "${CONF}")
execute_process(COMMAND ${TMPFILES} --root=${SCRATCH} --create ${entries}
    RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "systemd-tmpfiles failed: ${err}")
endif()
foreach(check "tmp/Orvik_gamma=755 991 991" "run/cabinet_server=750 990 990")
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
