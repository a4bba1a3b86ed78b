# The message table (src/applog/EventMessages.mc, compiled by windmc) as a resource of every
# Windows program and DLL that links the diagnostic log: the event source of each points at
# its own module. Made when CMake configures (windmc takes milliseconds), again whenever the
# .mc file changes.
function(vel_event_messages out_rc)
  set(mc ${PROJECT_SOURCE_DIR}/src/applog/EventMessages.mc)
  set(dir ${CMAKE_BINARY_DIR}/generated/eventmessages)
  string(REGEX REPLACE "windres$" "windmc" windmc "${CMAKE_RC_COMPILER}")
  file(MAKE_DIRECTORY ${dir})
  execute_process(COMMAND ${windmc} -h ${dir} -r ${dir} ${mc}
                  RESULT_VARIABLE rc ERROR_VARIABLE err OUTPUT_QUIET)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${windmc} ${mc}: ${err}")
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${mc})
  # windres looks for the table beside the compiler's working folder: name it in full.
  file(READ ${dir}/EventMessages.rc text)
  string(REPLACE "\"MSG00409.bin\"" "\"${dir}/MSG00409.bin\"" text "${text}")
  file(WRITE ${dir}/EventMessagesTable.rc "${text}")
  set(${out_rc} ${dir}/EventMessagesTable.rc PARENT_SCOPE)
endfunction()
