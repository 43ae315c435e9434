# Writes a program's man page from its own --help and --version with
# help2man, then compresses it as Debian wants (gzip -9n: no name or time
# stamp inside). Run as a script:
#
#   cmake -DPROGRAM=... -DNAME="one-line description" -DSECTION=1
#         -DOUTPUT=.../prog.1.gz [-DSUBCOMMANDS=ON] -P manpage.cmake
#
# With SUBCOMMANDS, every command that --help lists under "Subcommands:"
# (and theirs, in turn) adds its own --help, as printed, under COMMANDS.
foreach(var PROGRAM NAME SECTION OUTPUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "manpage.cmake: ${var} is not set")
  endif()
endforeach()
find_program(HELP2MAN help2man REQUIRED)
find_program(GZIP gzip REQUIRED)

string(REGEX REPLACE "\\.gz$" "" page "${OUTPUT}")
set(include "${page}.include")
# help_of(OUT_HELP OUT_SUBCOMMANDS words...): the --help text of a command
# and the names it lists under "Subcommands:".
function(help_of out_help out_subcommands)
  execute_process(COMMAND "${PROGRAM}" ${ARGN} --help OUTPUT_VARIABLE help RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "manpage.cmake: '${PROGRAM} ${ARGN} --help' failed (${status})")
  endif()
  set(names "")
  if(help MATCHES "\nSubcommands:\n(.*)")
    string(REGEX REPLACE "\n\n.*" "" listed "${CMAKE_MATCH_1}")
    string(REGEX MATCHALL "(^|\n)  [a-z][a-z0-9-]*" found "${listed}")
    foreach(name IN LISTS found)
      string(STRIP "${name}" name)
      list(APPEND names "${name}")
    endforeach()
  endif()
  set(${out_help} "${help}" PARENT_SCOPE)
  set(${out_subcommands} "${names}" PARENT_SCOPE)
endfunction()

set(text "")
if(SUBCOMMANDS)
  string(APPEND text "[COMMANDS]\n")
  get_filename_component(program_name "${PROGRAM}" NAME)
  help_of(help pending)
  set(COMMANDS "")
  while(pending)
    list(POP_FRONT pending command)
    list(APPEND COMMANDS "${command}")
    separate_arguments(words UNIX_COMMAND "${command}")
    help_of(help nested ${words})
    foreach(name IN LISTS nested)
      list(APPEND pending "${command} ${name}")
    endforeach()
  endwhile()
  foreach(command IN LISTS COMMANDS)
    separate_arguments(words UNIX_COMMAND "${command}")
    help_of(help nested ${words})
    # Verbatim in roff: backslashes escaped, and a line starting with '.'
    # or "'" kept from reading as a request.
    string(REPLACE "\\" "\\e" help "${help}")
    string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" help "${help}")
    string(APPEND text ".SS \"${program_name} ${command}\"\n.nf\n${help}.fi\n")
  endforeach()
endif()
set(include_option "")
if(text)
  file(WRITE "${include}" "${text}")
  set(include_option "--include=${include}")
endif()

# The version from the first line of --version alone: the lines after it
# (orvane's crypto library and the trusted keys) describe the machine that
# runs it, not the program.
execute_process(COMMAND "${PROGRAM}" --version OUTPUT_VARIABLE version_text RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "manpage.cmake: '${PROGRAM} --version' failed (${status})")
endif()
string(REGEX REPLACE "\n.*" "" version_line "${version_text}")

execute_process(COMMAND "${HELP2MAN}" --no-info --no-discard-stderr "--section=${SECTION}"
                        "--name=${NAME}" "--version-string=${version_line}" ${include_option}
                        "--output=${page}" "${PROGRAM}"
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "manpage.cmake: help2man failed for ${PROGRAM}")
endif()
execute_process(COMMAND "${GZIP}" -9nf "${page}" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "manpage.cmake: gzip failed for ${page}")
endif()
