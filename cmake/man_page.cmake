# One manual page, made by help2man from a tool's --help and --version. help2man makes sections
# only of a few headings it knows; the usage texts' own "Exit status:" and "See also:"
# (sub-sections to it) become the page's sections here. Used by the package's build
# (packaging.cmake) and by the check of the pages (tests/packaging).
#
#   cmake -DHELP2MAN=<help2man> -DTOOL=<the built tool> -DNAME=<one-line summary>
#       -DOUTPUT=<page.1> -P man_page.cmake
cmake_minimum_required(VERSION 3.16)

execute_process(
    COMMAND ${HELP2MAN} --no-info --no-discard-stderr --name=${NAME} --output=${OUTPUT} ${TOOL}
    RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "help2man could not make ${OUTPUT} from ${TOOL}: ${result}")
endif()
file(READ ${OUTPUT} page)
string(REPLACE "\n.SS \"Exit status:\"\n" "\n.SH \"EXIT STATUS\"\n" page "${page}")
string(REPLACE "\n.SS \"See also:\"\n" "\n.SH \"SEE ALSO\"\n" page "${page}")
file(WRITE ${OUTPUT} "${page}")
