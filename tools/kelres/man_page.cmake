# Writes the manual page of kelres from its own help texts.
#
#   cmake -DKELRES=<kelres> -DOUTPUT=<kelres.1> -DVERSION=<version> -P man_page.cmake
#
# `kelres --help` becomes the description, each `kelres COMMAND --help` a subsection of COMMANDS.
# The texts are laid out by hand in columns, so they are kept as they are (no filling).

function(run_help out_var)
    execute_process(COMMAND ${KELRES} ${ARGN} --help
        OUTPUT_VARIABLE text RESULT_VARIABLE status ERROR_VARIABLE errors)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "kelres ${ARGN} --help failed (${status}): ${errors}")
    endif()
    set(${out_var} "${text}" PARENT_SCOPE)
endfunction()

# Text as roff shows it verbatim: backslashes escaped, minus signs as such, and no line taken for
# a request.
function(to_roff out_var text)
    string(REPLACE "\\" "\\e" text "${text}")
    string(REPLACE "-" "\\-" text "${text}")
    set(text "\n${text}")
    string(REPLACE "\n." "\n\\&." text "${text}")
    string(REPLACE "\n'" "\n\\&'" text "${text}")
    string(SUBSTRING "${text}" 1 -1 text)
    set(${out_var} "${text}" PARENT_SCOPE)
endfunction()

# The text after the usage paragraph and the blank line below it.
function(after_usage out_var text)
    # FIND, not a REGEX REPLACE: CMake's "^" matches again after each replacement.
    string(FIND "${text}" "\n\n" end)
    math(EXPR end "${end} + 2")
    string(SUBSTRING "${text}" ${end} -1 text)
    set(${out_var} "${text}" PARENT_SCOPE)
endfunction()

run_help(overview)
string(REGEX MATCH "^Usage: kelres ([^\n]*)" usage "${overview}")
set(usage "${CMAKE_MATCH_1}")

# The command names: the first word of each line of the "Commands:" list.
string(REGEX MATCH "\nCommands:\n(.*)" commands_block "${overview}")
string(REGEX REPLACE "\n\n.*" "" commands_block "${CMAKE_MATCH_1}")
string(REGEX MATCHALL "\n  [a-z-]+" names "\n${commands_block}")
list(TRANSFORM names STRIP)
if(NOT names)
    message(FATAL_ERROR "no command list in the output of kelres --help")
endif()

# The exit status paragraph ends every help text: it gets its own section, once.
string(FIND "${overview}" "\nExit status:" exit_at)
if(exit_at LESS 0)
    message(FATAL_ERROR "no exit status paragraph in the output of kelres --help")
endif()
math(EXPR exit_at "${exit_at} + 1")
string(SUBSTRING "${overview}" ${exit_at} -1 exit_text)
string(STRIP "${exit_text}" exit_text)

after_usage(description "${overview}")
string(REPLACE "${exit_text}" "" description "${description}")
string(REGEX REPLACE "\n+$" "\n" description "${description}")
to_roff(description "${description}")
to_roff(usage "${usage}")
to_roff(exit_roff "${exit_text}")

set(page ".TH KELRES 1 \"\" \"KELResMgr ${VERSION}\" \"User Commands\"
.SH NAME
kelres \\- command\\-line host of libKELResMgr.so
.SH SYNOPSIS
.nf
kelres ${usage}
.fi
.SH DESCRIPTION
.nf
${description}.fi
.SH COMMANDS
")
foreach(name IN LISTS names)
    run_help(help ${name})
    string(REGEX MATCH "^Usage: kelres ([^\n]*)" line "${help}")
    set(line "${CMAKE_MATCH_1}")
    after_usage(help "${help}")
    string(REPLACE "${exit_text}" "" help "${help}")
    string(REGEX REPLACE "\n+$" "\n" help "${help}")
    to_roff(line "${line}")
    to_roff(help "${help}")
    string(APPEND page ".SS ${name}\n.nf\nkelres ${line}\n\n${help}.fi\n")
endforeach()
string(APPEND page ".SH \"EXIT STATUS\"\n.nf\n${exit_roff}\n.fi\n")

file(WRITE ${OUTPUT}.new "${page}")
file(RENAME ${OUTPUT}.new ${OUTPUT})
