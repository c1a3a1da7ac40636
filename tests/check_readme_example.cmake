# Checks that the README shows the client example exactly as the build compiles it.
#   cmake -DREADME=<README.md> -DEXAMPLE=<timer_client_example.cpp> -P check_readme_example.cmake
file(READ ${README} readme)
file(READ ${EXAMPLE} example)
string(FIND "${readme}" "${example}" position)
if(position LESS 0)
  message(FATAL_ERROR "README.md does not hold ${EXAMPLE} verbatim; copy the file into it again")
endif()
