# Install-time helper of install.cmake (run with ECR_MODE, ECR_OBJECT and the
# tool paths set):
#   strip       remove the debug sections and symbol table of the installed
#               ECR_OBJECT, keeping its build-id note;
#   keep-debug  copy the debug sections of ECR_OBJECT, compressed, to
#               ECR_DEBUG_DIR/xx/yyyy.debug named after its build id.
if(ECR_MODE STREQUAL "strip")
  message(STATUS "Stripping: ${ECR_OBJECT}")
  execute_process(COMMAND ${ECR_OBJCOPY} --strip-unneeded --remove-section=.comment
                          --remove-section=.note "${ECR_OBJECT}"
                  RESULT_VARIABLE rc)
elseif(ECR_MODE STREQUAL "keep-debug")
  execute_process(COMMAND ${ECR_READELF} -n "${ECR_OBJECT}" OUTPUT_VARIABLE notes RESULT_VARIABLE rc)
  if(NOT notes MATCHES "Build ID: ([0-9a-f][0-9a-f])([0-9a-f]+)")
    message(FATAL_ERROR "${ECR_OBJECT} has no build id")
  endif()
  set(out "${ECR_DEBUG_DIR}/${CMAKE_MATCH_1}/${CMAKE_MATCH_2}.debug")
  get_filename_component(dir "${out}" DIRECTORY)
  file(MAKE_DIRECTORY "${dir}")
  message(STATUS "Installing: ${out}")
  execute_process(COMMAND ${ECR_OBJCOPY} --only-keep-debug --compress-debug-sections "${ECR_OBJECT}" "${out}"
                  RESULT_VARIABLE rc)
  if(rc EQUAL 0)
    file(CHMOD "${out}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  endif()
else()
  message(FATAL_ERROR "unknown mode ${ECR_MODE}")
endif()
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${ECR_MODE} failed on ${ECR_OBJECT}")
endif()
