# Writes the man page of the tallyfold command from its own help texts, so the
# two cannot disagree. Run as:
#   cmake -DTALLYFOLD=<program> -DVERSION=<version> -DOUTPUT=<file.1.gz> -P ManPage.cmake
function(help_of out)
    execute_process(COMMAND ${TALLYFOLD} ${ARGN} OUTPUT_VARIABLE text RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "tallyfold ${ARGN} failed: ${status}")
    endif()
    # roff: a backslash is \e; a line starting with . or ' is protected.
    string(REPLACE "\\" "\\e" text "${text}")
    string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
    set(${out} ".nf\n${text}.fi\n" PARENT_SCOPE)
endfunction()

help_of(overview --help)
help_of(output help output)
execute_process(COMMAND ${TALLYFOLD} --help OUTPUT_VARIABLE plain)
string(REGEX MATCH "commands:\n(  [^\n]*\n)+" listing "${plain}")
string(REGEX MATCHALL "\n  [a-z][a-z-]+ " names "${listing}")

set(page ".TH TALLYFOLD 1 \"\" \"tallyfold ${VERSION}\" \"User Commands\"\n")
string(APPEND page ".SH NAME\ntallyfold \\- gather the records of count-type terminals into the host database\n")
string(APPEND page ".SH DESCRIPTION\n${overview}")
string(APPEND page ".SH COMMANDS\n")
foreach(name IN LISTS names)
    string(STRIP "${name}" name)
    if(name STREQUAL "help")
        continue()
    endif()
    help_of(text help ${name})
    string(APPEND page ".SS ${name}\n${text}")
endforeach()
string(APPEND page ".SH OUTPUT\n${output}")
string(APPEND page
    ".SH ENVIRONMENT\n"
    ".TP\n.B TALLYFOLD_HOME\nthe host folder, as --home\n"
    ".TP\n.B TALLYFOLD_CONNECTION\nthe connection string, as --db\n"
    ".TP\n.B TALLYFOLD_CODEPAGE\nthe code page of record files (default CP936)\n"
    ".SH FILES\n"
    ".TP\n.I /etc/default/tallyfold\nthe environment of tallyfold\\-gather.service\n"
    ".TP\n.I HOST/Config/Tallyfold.ini\n[Database] ConnectionString=\n"
    ".TP\n.I HOST/Config/Ports.ini\n[Ports] with n=DEVICE, baud=N and n.baud=N\n"
    ".TP\n.I HOST/tallyfold.lock\nheld while a gather, import, clear or link test runs\n"
    ".SH SEE ALSO\n.BR systemctl (1)\n")
get_filename_component(page_file "${OUTPUT}" NAME_WLE)
get_filename_component(dir "${OUTPUT}" DIRECTORY)
file(WRITE "${dir}/${page_file}" "${page}")
file(ARCHIVE_CREATE OUTPUT "${OUTPUT}" PATHS "${dir}/${page_file}" FORMAT raw COMPRESSION GZip)
