# Compiles log/event_messages.mc into a header of message IDs (for the product's code) and a
# resource script with the message table (for the executable), both in the build folder.
# MinGW builds use windmc; a Visual Studio build uses mc.
set(VARNHOLT_EVENT_MC ${CMAKE_SOURCE_DIR}/log/event_messages.mc)
set(VARNHOLT_EVENT_DIR ${CMAKE_BINARY_DIR}/event_messages)
if(MSVC)
  find_program(VARNHOLT_MC NAMES mc REQUIRED DOC "Microsoft's message compiler")
else()
  string(REGEX REPLACE "windres$" "windmc" windmc_guess "${CMAKE_RC_COMPILER}")
  find_program(VARNHOLT_MC NAMES ${windmc_guess} x86_64-w64-mingw32-windmc windmc REQUIRED
               DOC "The message compiler of the MinGW binutils")
endif()
add_custom_command(
  OUTPUT ${VARNHOLT_EVENT_DIR}/event_messages.h ${VARNHOLT_EVENT_DIR}/event_messages.rc
         ${VARNHOLT_EVENT_DIR}/MSG00409.bin
  COMMAND ${CMAKE_COMMAND} -E make_directory ${VARNHOLT_EVENT_DIR}
  COMMAND ${VARNHOLT_MC} -U -h ${VARNHOLT_EVENT_DIR} -r ${VARNHOLT_EVENT_DIR} ${VARNHOLT_EVENT_MC}
  DEPENDS ${VARNHOLT_EVENT_MC}
  COMMENT "Compiling the event messages"
  VERBATIM)
add_custom_target(varnholt_event_messages DEPENDS ${VARNHOLT_EVENT_DIR}/event_messages.h)
add_dependencies(varnholt_core varnholt_event_messages)
target_include_directories(varnholt_core PUBLIC ${VARNHOLT_EVENT_DIR})
target_sources(VarnholtScheduling PRIVATE ${VARNHOLT_EVENT_DIR}/event_messages.rc)
# The script names its table by a path relative to itself.
set_source_files_properties(${VARNHOLT_EVENT_DIR}/event_messages.rc PROPERTIES
  OBJECT_DEPENDS ${VARNHOLT_EVENT_DIR}/MSG00409.bin)
if(NOT MSVC)
  set_property(SOURCE ${VARNHOLT_EVENT_DIR}/event_messages.rc APPEND PROPERTY
    COMPILE_OPTIONS -I${VARNHOLT_EVENT_DIR})
endif()
# The version that event 1000 names.
set_property(SOURCE ${CMAKE_SOURCE_DIR}/log/event_log.cpp APPEND PROPERTY
  COMPILE_DEFINITIONS VARNHOLT_VERSION_TEXT="${PROJECT_VERSION}")
