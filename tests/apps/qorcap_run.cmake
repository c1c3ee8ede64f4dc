# run(expected_code args...): runs qorcap (${QORCAP}) with the arguments, fails the script when it
# exits otherwise, and leaves its standard output and error in `out` and `err`.
function(run expected_code)
  execute_process(COMMAND ${QORCAP} ${ARGN} RESULT_VARIABLE code OUTPUT_VARIABLE out
                  ERROR_VARIABLE err)
  if(NOT code EQUAL expected_code)
    message(FATAL_ERROR "qorcap ${ARGN}: exit ${code}, expected ${expected_code}\n${out}\n${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
  set(err "${err}" PARENT_SCOPE)
endfunction()
