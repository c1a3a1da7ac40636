# Builds the README's client example as a client project would, against the installed tree only,
# and runs it from the installed modules' folder: five expiries, then a clean exit.
#
#   cmake -DBUILD_DIR=<this build> -DWORK_DIR=<folder> -DCLIENT_PROJECT=<demo/client_project>
#         -DGENERATOR=<generator> [-DTOOLCHAIN_FILE=<file>] -DCXX_COMPILER=<compiler>
#         [-DCXX_FLAGS=<flags>] [-DLINKER_FLAGS=<flags>] [-DBUILD_TYPE=<type>]
#         [-DEMULATOR=<runner>] [-DFRAMEWORK_MODULES=<files>] -P run_installed_client.cmake
# FRAMEWORK_MODULES are copied beside the installed modules before the run, where the install
# leaves the framework's own modules to the machine (Windows).
foreach(variable BUILD_DIR WORK_DIR CLIENT_PROJECT GENERATOR CXX_COMPILER)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "run_installed_client.cmake: ${variable} is not set")
  endif()
endforeach()

# Output goes to files rather than pipes: Wine's server may outlive a program and would hold a
# pipe open.
function(run_step what log)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status
    OUTPUT_FILE "${WORK_DIR}/${log}" ERROR_FILE "${WORK_DIR}/${log}")
  if(NOT status STREQUAL "0")
    file(READ "${WORK_DIR}/${log}" output)
    message(FATAL_ERROR "${what} failed (${status}):\n${output}")
  endif()
endfunction()

file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")
set(prefix "${WORK_DIR}/installed")

run_step("cmake --install" install.log ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${prefix}")

# The client project sees the installed prefix and nothing of this build.
set(configure_args -S "${CLIENT_PROJECT}" -B "${WORK_DIR}/build" -G "${GENERATOR}"
  "-DCMAKE_PREFIX_PATH=${prefix}" "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}"
  "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${LINKER_FLAGS}"
  "-DCMAKE_BUILD_TYPE=${BUILD_TYPE}" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF)
if(TOOLCHAIN_FILE)
  list(APPEND configure_args "-DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN_FILE}")
endif()
run_step("configuring the client project" configure.log ${CMAKE_COMMAND} ${configure_args})
file(STRINGS "${WORK_DIR}/build/CMakeCache.txt" package_dir REGEX "^MirelTimer_DIR:")
if(NOT package_dir MATCHES "=${prefix}/")
  message(FATAL_ERROR "the client project found the package outside the installed tree: ${package_dir}")
endif()
run_step("building the client project" build.log ${CMAKE_COMMAND} --build "${WORK_DIR}/build")

# The program runs from the folder of the installed modules, beside their Mirel.ini.
set(run_dir "${prefix}/bin")
file(GLOB program "${WORK_DIR}/build/timer-client-example*")
list(FILTER program EXCLUDE REGEX "\\.(pdb|manifest)$")
file(COPY ${program} ${FRAMEWORK_MODULES} DESTINATION "${run_dir}")
get_filename_component(program_name "${program}" NAME)
execute_process(COMMAND ${EMULATOR} "${run_dir}/${program_name}"
  WORKING_DIRECTORY "${run_dir}"
  RESULT_VARIABLE status TIMEOUT 60
  OUTPUT_FILE "${WORK_DIR}/stdout.txt" ERROR_FILE "${WORK_DIR}/stderr.txt")
file(READ "${WORK_DIR}/stdout.txt" output)
file(READ "${WORK_DIR}/stderr.txt" errors)
message("${output}${errors}")
if(NOT status STREQUAL "0")
  message(FATAL_ERROR "the installed client example exited with ${status}, expected 0")
endif()
string(REGEX MATCHALL "timer [0-9]+ fired, user value 7" expiries "${output}")
list(LENGTH expiries count)
if(NOT count EQUAL 5)
  message(FATAL_ERROR "the installed client example reported ${count} expiries, expected 5")
endif()
