# Reads the resources of a Windows executable back with windres and checks the version resource
# against the project's version, and the embedded manifest.
#   cmake -D WINDRES=<windres> -D EXE=<program.exe> -D VERSION=<major.minor.patch> -P check_version_resource.cmake
# CMake wraps the text of a message at spaces near 80 columns, so a path in the text decides where
# the words after it break; a line that starts with spaces is left as it is. So every error starts
# with its own words and the program's path follows on an indented line: the tests match the words
# wherever the clone lies.
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND ${WINDRES} -i ${EXE} -O rc OUTPUT_VARIABLE rc ERROR_VARIABLE errors RESULT_VARIABLE result)
if(NOT result EQUAL 0 AND errors MATCHES "no resource section")
  set(rc "")
elseif(NOT result EQUAL 0)
  message(FATAL_ERROR "windres could not read the program:\n  ${EXE}\n  ${errors}")
endif()

string(REPLACE "." ";" parts ${VERSION})
list(GET parts 0 major)
list(GET parts 1 minor)
list(GET parts 2 patch)
set(numbers "${major}, ${minor}, ${patch}, 0")

set(problems "")
if(NOT rc MATCHES "VERSIONINFO")
  message(FATAL_ERROR "no version resource in the program:\n  ${EXE}")
endif()
foreach(field FILEVERSION PRODUCTVERSION)
  if(NOT rc MATCHES "\n ${field} ([0-9, ]+)\n")
    list(APPEND problems "${field} is missing")
  elseif(NOT CMAKE_MATCH_1 STREQUAL numbers)
    list(APPEND problems "${field} is ${CMAKE_MATCH_1}, expected ${numbers}")
  endif()
endforeach()

# The strings Explorer's properties show, in the US English, Unicode block the translation names.
if(NOT rc MATCHES "BLOCK \"040904B0\"" OR NOT rc MATCHES "VALUE \"Translation\", 0x409, 1200")
  list(APPEND problems "no US English, Unicode string block with its translation")
endif()
foreach(expected "FileVersion=${VERSION}" "ProductVersion=${VERSION}" "OriginalFilename=quillmoor-updater.exe"
                 "InternalName=quillmoor-updater" "ProductName=quillmoor-updater")
  string(REPLACE "=" ";" pair ${expected})
  list(GET pair 0 name)
  list(GET pair 1 value)
  if(NOT rc MATCHES "VALUE \"${name}\", \"([^\"]*)\"")
    list(APPEND problems "${name} is missing")
  elseif(NOT CMAKE_MATCH_1 STREQUAL value)
    list(APPEND problems "${name} is \"${CMAKE_MATCH_1}\", expected \"${value}\"")
  endif()
endforeach()
if(NOT rc MATCHES "VALUE \"FileDescription\", \"[^\"]+\"")
  list(APPEND problems "FileDescription is missing or empty")
endif()

# The manifest, as windres prints it: one quoted line per line, quotes doubled.
foreach(expected "level=\"\"asInvoker\"\"" "<longPathAware [^>]*>true</longPathAware>"
                 "<assemblyIdentity [^>]*version=\"\"${VERSION}.0\"\"")
  if(NOT rc MATCHES "${expected}")
    list(APPEND problems "the manifest lacks ${expected}")
  endif()
endforeach()

if(problems)
  list(JOIN problems "\n  " text)
  message(FATAL_ERROR "the resources are not as expected:\n  ${text}\nin the program:\n  ${EXE}")
endif()
string(FIND "${rc}" "VERSIONINFO" start)
string(SUBSTRING "${rc}" ${start} -1 block)
string(FIND "${block}" "\nEND\n" end)
string(SUBSTRING "${block}" 0 ${end} block)
message(STATUS "${EXE}: version resource and manifest as expected\n${block}")
