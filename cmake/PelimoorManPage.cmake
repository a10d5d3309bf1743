# cmake -DHELP2MAN=... -DPROGRAM=... -DINCLUDE=... -DVERSION=... -DOUTPUT=dir/name.1 -P this file
#
# Writes OUTPUT.gz, the man page of PROGRAM made by help2man from its --help, with the sections
# of INCLUDE. The help's usage lines after the first are dropped from the description: the
# SYNOPSIS of INCLUDE lists every form.
execute_process(
    COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=0 ${HELP2MAN} --no-info --version-string=${VERSION}
            "--name=list and convert the contacts of an Outlook .pst file" --include=${INCLUDE} --output=${OUTPUT}
            ${PROGRAM}
    RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "help2man failed on ${PROGRAM}")
endif()
file(READ ${OUTPUT} page)
get_filename_component(name ${PROGRAM} NAME)
string(REPLACE "-" "\\\\-" roff_name ${name})
string(REGEX REPLACE "\n\\.IP\n(${roff_name} [^\n]*\n)+\\.PP\n" "\n" page "${page}")
file(WRITE ${OUTPUT} "${page}")
execute_process(COMMAND gzip -9nf ${OUTPUT} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip failed on ${OUTPUT}")
endif()
