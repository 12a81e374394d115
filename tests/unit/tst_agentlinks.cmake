# SPDX-License-Identifier: GPL-3.0-or-later
# cmake -DAGENT=FILE -DQT_MAJOR=5|6 -P tst_agentlinks.cmake
# The agent carries only what it runs, so that its unit can deny it the network and the disks:
# no network or crypto library among its shared libraries, and neither the command runner,
# the fact collector, the HTTPS client nor the log-value protection among its symbols.
execute_process(COMMAND readelf --dynamic ${AGENT} OUTPUT_VARIABLE dynamic RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "readelf failed on ${AGENT}")
endif()
string(REGEX MATCHALL "Shared library: \\[[^]]+\\]" needed "${dynamic}")
if(NOT needed MATCHES "libQt${QT_MAJOR}Core")
    message(FATAL_ERROR "no shared libraries read from ${AGENT}: ${dynamic}")
endif()
foreach(library libQt${QT_MAJOR}Network libcrypto libssl)
    if(needed MATCHES "${library}")
        message(FATAL_ERROR "the agent links ${library}: ${needed}")
    endif()
endforeach()

execute_process(COMMAND nm --demangle --defined-only ${AGENT} OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT symbols MATCHES "AgentCore::AgentCore")
    message(FATAL_ERROR "no symbols read from ${AGENT}")
endif()
foreach(symbol "executeCmd\\(" "SystemInfo::" "BlockDeviceCollector::" "https::" "protectLogValue")
    if(symbols MATCHES "${symbol}")
        message(FATAL_ERROR "the agent carries ${symbol}")
    endif()
endforeach()
message(STATUS "the agent links: ${needed}")
