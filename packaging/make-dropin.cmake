# Writes the registry drop-in of the Sender library: registers the built library in a scratch
# registry with component-register (so the entries come from the library itself), then points
# them at the installed library by a path relative to the drop-in's folder.
#   cmake -DREGISTER=... -DLIBRARY=... -DINSTALLED=... -DOUTPUT=... -P make-dropin.cmake
set(scratch "${OUTPUT}.scratch")
file(REMOVE "${scratch}")
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env COMPONENT_REGISTRY=${scratch} QT_QPA_PLATFORM=offscreen
          ${REGISTER} ${LIBRARY}
  RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0 OR NOT EXISTS "${scratch}")
  message(FATAL_ERROR "component-register ${LIBRARY} failed (${result})")
endif()
file(READ "${scratch}" entries)
string(FIND "${entries}" "${LIBRARY}" at)
if(at EQUAL -1)
  message(FATAL_ERROR "the registration of ${LIBRARY} does not name it")
endif()
string(REPLACE "${LIBRARY}" "${INSTALLED}" entries "${entries}")
file(WRITE "${OUTPUT}" "${entries}")
file(REMOVE "${scratch}")
