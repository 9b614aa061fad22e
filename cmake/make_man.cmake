# Writes a man page from a program's own --help: cmake -DPROGRAM=... -DNAME=...
# -DSUMMARY=... -DOUTPUT=... [-DCOMMANDS="a;b"] -P make_man.cmake. With
# COMMANDS, each command's "COMMAND --help" follows under COMMANDS.
execute_process(COMMAND ${PROGRAM} --help OUTPUT_VARIABLE help RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} --help failed: ${rc}")
endif()

# Literal text for roff: backslashes escaped, lines that would read as requests protected.
function(roff_literal text out)
  string(REPLACE "\\" "\\e" text "${text}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

roff_literal("${help}" body)
string(TOUPPER "${NAME}" upper)
set(page ".TH ${upper} 1 \"\" \"Brennmark 1.02\" \"User Commands\"\n")
string(APPEND page ".SH NAME\n${NAME} \\- ${SUMMARY}\n")
string(APPEND page ".SH DESCRIPTION\n.nf\n${body}.fi\n")
if(COMMANDS)
  string(APPEND page ".SH COMMANDS\n")
  foreach(command ${COMMANDS})
    execute_process(COMMAND ${PROGRAM} ${command} --help OUTPUT_VARIABLE text RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "${PROGRAM} ${command} --help failed: ${rc}")
    endif()
    roff_literal("${text}" text)
    string(APPEND page ".SS ${command}\n.nf\n${text}.fi\n")
  endforeach()
endif()
string(APPEND page ".SH SEE ALSO\nbrennmark(1), brennmark-cli(1), ridaziv-sim(1)\n")
file(WRITE ${OUTPUT} "${page}")
