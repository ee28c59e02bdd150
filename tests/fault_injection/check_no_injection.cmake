# Fails when the executable EXE holds the name of the fault-injection variable, in UTF-16 (as the
# injection unit reads it) or in narrow text.
foreach(encoding UTF-16LE UTF-8)
  file(STRINGS "${EXE}" found ENCODING ${encoding} REGEX "QM_FAULTS")
  if(found)
    message(FATAL_ERROR "${EXE} reads QM_FAULTS: ${found}")
  endif()
endforeach()
message(STATUS "${EXE} holds no fault injection")
