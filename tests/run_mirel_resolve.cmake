# Runs the built mirel-resolve on a configuration written at test time and checks its exit status
# and one line of its explanation. The factory library's path is known only once the build is
# laid out, so the configuration names it here, in the Windows spelling both targets read.
#
#   cmake -DPROGRAM=<mirel-resolve> [-DEMULATOR=<runner>] -DWORK_DIR=<folder> -DLIBRARY=<file>
#         -DEXPECTED_EXIT=<status> -DEXPECTED_LINE=<text> -P run_mirel_resolve.cmake
# With LIBRARY empty the program is run with two arguments, which is bad usage.
foreach(variable PROGRAM WORK_DIR EXPECTED_EXIT)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "run_mirel_resolve.cmake: ${variable} is not set")
  endif()
endforeach()

# A drive-less path is the POSIX tree, which is drive Z: both under Wine and on the POSIX
# stand-ins; a path that has a drive already is used as it is.
function(windows_path native out)
  string(REPLACE "/" "\\" path "${native}")
  if(NOT path MATCHES "^[A-Za-z]:")
    set(path "Z:${path}")
  endif()
  set(${out} "${path}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")
if(LIBRARY)
  windows_path("${LIBRARY}" library)
  file(WRITE "${WORK_DIR}/Mirel.ini" "[361]\r\nDLL=${library}\r\n")
  windows_path("${WORK_DIR}/Mirel.ini" config)
  set(arguments "${config}")
else()
  set(arguments one two)
endif()

# Output goes to files rather than pipes: Wine's server may outlive the program and would hold a
# pipe open.
execute_process(COMMAND ${EMULATOR} "${PROGRAM}" ${arguments}
  RESULT_VARIABLE status
  OUTPUT_FILE "${WORK_DIR}/stdout.txt"
  ERROR_FILE "${WORK_DIR}/stderr.txt")
file(READ "${WORK_DIR}/stdout.txt" output)
file(READ "${WORK_DIR}/stderr.txt" errors)
message("${output}${errors}")
# mirel-resolve explains itself on every path, so silence means it never reached its answer,
# whatever its status. (Under Wine the runner reports such an end itself, with status 125.)
if(output STREQUAL "" AND errors STREQUAL "")
  message(FATAL_ERROR "mirel-resolve printed nothing and ended with ${status}: it did not run")
endif()
if(NOT status STREQUAL EXPECTED_EXIT)
  message(FATAL_ERROR "mirel-resolve exited with ${status}, expected ${EXPECTED_EXIT}")
endif()
if(DEFINED EXPECTED_LINE)
  string(FIND "${output}${errors}" "${EXPECTED_LINE}" position)
  if(position EQUAL -1)
    message(FATAL_ERROR "mirel-resolve did not print: ${EXPECTED_LINE}")
  endif()
endif()
