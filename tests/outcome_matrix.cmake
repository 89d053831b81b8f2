# The outcome matrix of the payment fault cases, one row file per case
# written by outcome_slow_test into DIR.  MODE=clear empties DIR before the
# cases run; MODE=table prints the rows as one table, with the number of
# cases per link (also kept in DIR/table.txt).
if(MODE STREQUAL "clear")
  file(REMOVE_RECURSE "${DIR}")
  file(MAKE_DIRECTORY "${DIR}")
  return()
endif()

file(GLOB rows "${DIR}/*.row")
list(SORT rows)
set(table "link  step and fault                           terminal   reported   recovered\n")
foreach(link tcp udp pty)
  set(count_${link} 0)
endforeach()
foreach(row ${rows})
  file(READ "${row}" line)
  string(APPEND table "${line}")
  get_filename_component(name "${row}" NAME)
  string(REGEX MATCH "^[a-z]+" link "${name}")
  math(EXPR count_${link} "${count_${link}} + 1")
endforeach()
string(APPEND table "cases: tcp ${count_tcp}, udp ${count_udp}, pty ${count_pty}\n")
file(WRITE "${DIR}/table.txt" "${table}")
message("${table}")
