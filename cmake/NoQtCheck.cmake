# cmake -DPROGRAM_1=<file> [-DPROGRAM_2=<file>] -P NoQtCheck.cmake
# Fails when a program loads a Qt library (ldd lists what it loads, with
# everything its libraries load in turn).
foreach(program ${PROGRAM_1} ${PROGRAM_2})
  execute_process(COMMAND ldd ${program} OUTPUT_VARIABLE loads ERROR_VARIABLE errors RESULT_VARIABLE status)
  if(NOT status EQUAL 0 OR NOT loads MATCHES "libc\\.so")
    message(FATAL_ERROR "ldd could not list what ${program} loads: ${errors}")
  endif()
  if(loads MATCHES "libQt[^ ]*")
    message(FATAL_ERROR "${program} loads ${CMAKE_MATCH_0}:\n${loads}")
  endif()
  message(STATUS "${program}: no Qt")
endforeach()
