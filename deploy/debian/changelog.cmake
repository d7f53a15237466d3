# Writes each package's changelog.Debian.gz, dated by the last commit of the
# source tree (SOURCE_DATE_EPOCH when that is set, the current time when the
# tree is no git checkout). A file is replaced only when its text changed.
#   cmake -DSOURCE_DIR=... -DOUT_DIR=... -DPACKAGES=a,b -DVERSION=... -DTEMPLATE=... -P changelog.cmake

if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
    execute_process(COMMAND git -C "${SOURCE_DIR}" log -1 --format=%ct
                    OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed ERROR_QUIET)
    if(NOT failed AND epoch MATCHES "^[0-9]+$")
        set(ENV{SOURCE_DATE_EPOCH} "${epoch}")
    endif()
endif()
# string(TIMESTAMP) takes SOURCE_DATE_EPOCH when it is set.
string(TIMESTAMP ORVIK_DEB_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(ORVIK_DEB_VERSION "${VERSION}")

string(REPLACE "," ";" packages "${PACKAGES}")
foreach(package ${packages})
    set(ORVIK_DEB_PACKAGE ${package})
    set(folder "${OUT_DIR}/${package}")
    file(MAKE_DIRECTORY "${folder}")
    configure_file("${TEMPLATE}" "${folder}/changelog.Debian.new" @ONLY)
    execute_process(COMMAND gzip -9n -c "${folder}/changelog.Debian.new"
                    OUTPUT_FILE "${folder}/changelog.Debian.gz.new" RESULT_VARIABLE failed)
    if(failed)
        message(FATAL_ERROR "gzip failed on ${folder}/changelog.Debian.new")
    endif()
    execute_process(COMMAND "${CMAKE_COMMAND}" -E copy_if_different
                    "${folder}/changelog.Debian.gz.new" "${folder}/changelog.Debian.gz")
    file(REMOVE "${folder}/changelog.Debian.new" "${folder}/changelog.Debian.gz.new")
endforeach()
