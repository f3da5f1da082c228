# Installs the build tree into PREFIX and checks that the installed receiver
# tool finds its default log property file there, started from another
# directory.
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
                OUTPUT_QUIET RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${status}")
endif()
# 192.0.2.1 (a documentation address) is on no interface: the join fails
# right after set-up.
execute_process(COMMAND ${PREFIX}/bin/vexatoolsVexaReceiver -a 239.255.0.1 -n 192.0.2.1 -p 1 -w 4 -e 4 -s 1 -l DEBUG
                WORKING_DIRECTORY /
                OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
file(REMOVE_RECURSE ${PREFIX})
set(expected "Using default log property file: <${PREFIX}/share/vexatools/config/korv/vexatools/log.properties>")
string(FIND "${err}" "${expected}" found)
if(found EQUAL -1 OR NOT status EQUAL 1)
  message(FATAL_ERROR "installed program (status ${status}) did not log '${expected}':\n${out}${err}")
endif()
