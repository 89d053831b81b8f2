# ecrcli explain over the library's own log of every fault-matrix row: the
# verdict of the row's payment must be what the cash register was told (the
# row's "reported" column), and the exit status 1 exactly where that is
# unknown.  Rows of a killed cash register have no log of the payment; rows
# of a check-card purchase are skipped (its completion is no payment of its own
# in the log).
# The library's records tell a request answered with stray bytes (not sent)
# from one answered with a frame (unknown), so explain agrees on both.
# ECRCLI: the program; EMULATOR: runs it (may be empty); DIR: the rows.
file(GLOB rows "${DIR}/*.row")
if(NOT rows)
  message(FATAL_ERROR "no rows in ${DIR}: the matrix did not run")
endif()
set(failures "")
set(checked 0)
foreach(row ${rows})
  file(READ "${row}" line)
  string(REGEX REPLACE " +" ";" cols "${line}")
  list(GET cols 3 reported)
  # A check-card purchase's log holds two steps; its first payment is the
  # card-belonging notice, which decides nothing.
  if(reported STREQUAL "(killed)" OR row MATCHES "check_card")
    continue()
  endif()
  if(reported STREQUAL "not")
    set(reported "not sent")
  endif()
  string(REGEX REPLACE "\\.row$" ".logs" logs "${row}")
  file(GLOB log "${logs}/*.log")
  get_filename_component(name "${row}" NAME_WE)
  if(NOT log)
    string(APPEND failures "${name}: no log\n")
    continue()
  endif()
  execute_process(COMMAND ${EMULATOR} ${ECRCLI} explain --json ${log}
                  OUTPUT_VARIABLE out RESULT_VARIABLE code ERROR_QUIET)
  # The last payment of the log is the row's (a card check's completion
  # follows the check; recovery afterwards asks only service queries).
  # (Verdicts hold semicolons: the last one is cut out of the text, not a list.)
  string(FIND "${out}" "\"payment\":true" at REVERSE)
  set(status "")
  set(verdict "")
  if(at GREATER -1)
    string(SUBSTRING "${out}" ${at} -1 found)
    string(REGEX MATCH "\"payment\":true[^\n]*\"status\":\"([a-z ]+)\",\"verdict\":\"([^\"]*)\"" found "${found}")
    set(status "${CMAKE_MATCH_1}")
    set(verdict "${CMAKE_MATCH_2}")
  endif()
  set(want_code 0)
  if(reported STREQUAL "unknown")
    set(want_code 1)
  endif()
  math(EXPR checked "${checked} + 1")
  if(NOT status STREQUAL reported OR NOT code EQUAL want_code)
    string(APPEND failures "${name}: reported ${reported}, explain said \"${verdict}\" (exit ${code})\n")
  endif()
  # A confirmation answered with NAK: the unknown verdict names the invoice.
  if(name MATCHES "confirmation_ack_garbage_nak")
    execute_process(COMMAND ${EMULATOR} ${ECRCLI} explain ${log} OUTPUT_VARIABLE text RESULT_VARIABLE code)
    if(NOT code EQUAL 1 OR NOT text MATCHES "verdict: unknown: the final response was read but the confirmation was not acknowledged; run recovery \\(ecrb_recover\\) or check the terminal's journal for invoice 000321")
      string(APPEND failures "${name}: no unknown verdict with the invoice (exit ${code}):\n${text}\n")
    endif()
  endif()
endforeach()
if(failures)
  message(FATAL_ERROR "explain disagrees with the cash register:\n${failures}")
endif()
message("explain agrees with the cash register in ${checked} rows")
