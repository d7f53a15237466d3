# Installs the build tree twice into a scratch root (DESTDIR) under its
# configured prefix and checks what lands where:
#   - every program, executable, in the binary folder;
#   - the four unit files, whose ExecStart names an installed program (the
#     controller's and the console's with the installed settings), each with
#     its own account and its manual page; the console works in the
#     controller's folder;
#   - a second install keeps a settings.ini and a clients drop-in the site
#     has changed;
#   - an install under another prefix says that the units name the
#     configured one.
# Arguments: BUILD_DIR SCRATCH BINDIR DATADIR PROGRAMS (comma-separated); the
# prefix and the folders of the service installation are taken from the build
# tree's cache.

function(cache_value var name)
    file(STRINGS "${BUILD_DIR}/CMakeCache.txt" line REGEX "^${name}:[A-Z]+=")
    if(NOT line)
        message(FATAL_ERROR "${name} is not in the build tree's cache")
    endif()
    string(REGEX REPLACE "^${name}:[A-Z]+=" "" value "${line}")
    set(${var} "${value}" PARENT_SCOPE)
endfunction()
cache_value(prefix CMAKE_INSTALL_PREFIX)
cache_value(UNITDIR ORVIK_SYSTEMD_UNITDIR)
cache_value(WORK_DIR ORVIK_WORK_DIR)
cache_value(CONF_DIR ORVIK_CONF_DIR)
file(REMOVE_RECURSE "${SCRATCH}")

function(install_once)
    set(install_prefix "${prefix}")
    if(ARGC GREATER 0)
        set(install_prefix "${ARGV0}")
    endif()
    execute_process(
        COMMAND ${CMAKE_COMMAND} -E env "DESTDIR=${SCRATCH}"
                ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${install_prefix}"
        RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "cmake --install failed (${rc}):\n${out}\n${err}")
    endif()
    set(install_log "${out}${err}" PARENT_SCOPE)
endfunction()

function(expect_file path)
    if(NOT EXISTS "${SCRATCH}${path}" OR IS_DIRECTORY "${SCRATCH}${path}")
        message(FATAL_ERROR "not installed: ${path}")
    endif()
endfunction()

function(under_prefix var path)
    if(IS_ABSOLUTE "${path}")
        set(${var} "${path}" PARENT_SCOPE)
    else()
        set(${var} "${prefix}/${path}" PARENT_SCOPE)
    endif()
endfunction()

# Reads "Key=value" from a unit file's text.
function(unit_value var text key)
    string(REGEX MATCH "\n${key}=([^\n]*)" found "\n${text}")
    if(NOT found)
        message(FATAL_ERROR "no ${key}= line in unit:\n${text}")
    endif()
    set(${var} "${CMAKE_MATCH_1}" PARENT_SCOPE)
endfunction()

install_once()

under_prefix(bin_dir "${BINDIR}")
under_prefix(unit_dir "${UNITDIR}")
string(REPLACE "," ";" programs "${PROGRAMS}")
foreach(program ${programs})
    expect_file("${bin_dir}/${program}")
    execute_process(COMMAND test -x "${SCRATCH}${bin_dir}/${program}" RESULT_VARIABLE not_executable)
    if(not_executable)
        message(FATAL_ERROR "not executable: ${bin_dir}/${program}")
    endif()
endforeach()

foreach(unit cabinet_server cabinet_console card_reader barcode_reader)
    expect_file("${unit_dir}/${unit}.service")
    file(READ "${SCRATCH}${unit_dir}/${unit}.service" text)
    unit_value(exec "${text}" ExecStart)
    set(expected "${bin_dir}/${unit}")
    if(unit MATCHES "^cabinet_(server|console)$")
        string(APPEND expected " --settings ${CONF_DIR}/settings.ini")
    endif()
    if(NOT exec STREQUAL expected)
        message(FATAL_ERROR "${unit}.service starts '${exec}', expected '${expected}'")
    endif()
    unit_value(user "${text}" User)
    if(NOT user MATCHES "^orvik-")
        message(FATAL_ERROR "${unit}.service runs as '${user}', not as an account of its own")
    endif()
    unit_value(restart "${text}" Restart)
    if(NOT restart STREQUAL "on-failure")
        message(FATAL_ERROR "${unit}.service restarts '${restart}'")
    endif()
    if(text MATCHES "@[A-Za-z_]+@")
        message(FATAL_ERROR "unexpanded placeholder in ${unit}.service:\n${text}")
    endif()
    unit_value(documentation "${text}" Documentation)
    if(NOT documentation STREQUAL "man:${unit}(1)")
        message(FATAL_ERROR "${unit}.service documents '${documentation}'")
    endif()
    if(EXISTS "${BUILD_DIR}/deploy/man/${unit}.1.gz")
        expect_file("${prefix}/share/man/man1/${unit}.1.gz")
    endif()
endforeach()

# The console reads the controller's settings.ini and hub.ini from the same folder.
foreach(unit cabinet_server cabinet_console)
    file(READ "${SCRATCH}${unit_dir}/${unit}.service" text)
    unit_value(work_dir "${text}" WorkingDirectory)
    if(NOT work_dir STREQUAL "${WORK_DIR}")
        message(FATAL_ERROR "${unit} works in '${work_dir}', expected '${WORK_DIR}'")
    endif()
endforeach()
expect_file("${CONF_DIR}/settings.ini")
under_prefix(data_dir "${DATADIR}")
expect_file("${data_dir}/cabinet_server/settings.ini")
file(READ "${SCRATCH}${CONF_DIR}/settings.ini" settings)
foreach(key kas_count_cell Path_RAM type_ppd Time_energe_ppd port_base tcp_port)
    if(NOT settings MATCHES "\n${key}=")
        message(FATAL_ERROR "sample settings.ini lacks ${key}")
    endif()
endforeach()

# A site's own settings and clients survive a reinstall; the programs are replaced.
set(dropin "/etc/systemd/system/cabinet_server.service.d/clients.conf")
expect_file("${dropin}")
set(site "[Settings]\nkas_count_cell=12\n")
set(site_clients "[Service]\nIPAddressAllow=192.0.2.20\n")
file(WRITE "${SCRATCH}${CONF_DIR}/settings.ini" "${site}")
file(WRITE "${SCRATCH}${dropin}" "${site_clients}")
file(REMOVE "${SCRATCH}${bin_dir}/card_reader")
install_once()
file(READ "${SCRATCH}${CONF_DIR}/settings.ini" after)
if(NOT after STREQUAL site)
    message(FATAL_ERROR "reinstall replaced the site's settings.ini")
endif()
file(READ "${SCRATCH}${dropin}" after)
if(NOT after STREQUAL site_clients)
    message(FATAL_ERROR "reinstall replaced the site's ${dropin}")
endif()
expect_file("${bin_dir}/card_reader")

# Under another prefix the units would start nothing: the install says so.
install_once("/opt/orvik-elsewhere")
if(NOT install_log MATCHES "configure the build with")
    message(FATAL_ERROR "an install under another prefix did not warn:\n${install_log}")
endif()

file(REMOVE_RECURSE "${SCRATCH}")
message(STATUS "install check passed: ${PROGRAMS}")
