# Writes the id lists of the protocol table and the risk list: one row
# LIST_MACRO(id, ident) per ROW_MACRO(id, ident, ...) row of the .def file,
# nothing else. A list file is
# rewritten only when its ids change, so an edit of a row's other columns
# (names, categories, ports, texts, scores) leaves it alone and rebuilds only
# the code that reads those columns.
#   cmake -DDATA_DIR=<oxlo/data> -DOUT_DIR=<dir> -P id_lists.cmake
foreach(var DATA_DIR OUT_DIR)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "id_lists.cmake needs -D${var}=")
  endif()
endforeach()

function(write_id_list def row_macro list_macro out)
  file(READ ${DATA_DIR}/${def} text)
  string(REGEX MATCHALL "\n${row_macro}\\( *[0-9]+, *[A-Za-z0-9_]+" rows "${text}")
  set(list "/* Written by the build from data/${def}; do not edit. */\n")
  foreach(row IN LISTS rows)
    string(REGEX REPLACE "\n${row_macro}\\( *([0-9]+), *([A-Za-z0-9_]+)" "${list_macro}(\\1, \\2)" row "${row}")
    string(APPEND list "${row}\n")
  endforeach()
  if(EXISTS ${OUT_DIR}/${out})
    file(READ ${OUT_DIR}/${out} old)
    if(old STREQUAL list)
      return()
    endif()
  endif()
  file(WRITE ${OUT_DIR}/${out} "${list}")
endfunction()

write_id_list(oxlo_protocols.def OXLO_PROTO OXLO_PROTOCOL_ID oxlo_protocol_id_list.h)
write_id_list(oxlo_risks.def OXLO_RISK OXLO_RISK_ID oxlo_risk_id_list.h)
