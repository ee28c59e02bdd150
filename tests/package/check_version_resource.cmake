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

# The manifest (resource 1 of type 24), which windres prints as string literals, "\n" for a line end
# and quotes doubled: read back as the XML it is, without its comments.
set(manifest "")
string(FIND "${rc}" "\n1 24 " start)
if(start EQUAL -1)
  list(APPEND problems "no manifest")
else()
  string(SUBSTRING "${rc}" ${start} -1 block)
  string(FIND "${block}" "\nBEGIN\n" begin)
  string(FIND "${block}" "\nEND\n" end)
  math(EXPR begin "${begin} + 7")
  math(EXPR length "${end} - ${begin}")
  string(SUBSTRING "${block}" ${begin} ${length} block)
  string(REGEX REPLACE "(^|\n) *\"([^\n]*)\"" "\\2" manifest "${block}")
  string(REPLACE "\\n" "\n" manifest "${manifest}")
  string(REPLACE "\"\"" "\"" manifest "${manifest}")
  string(FIND "${manifest}" "<!--" comment)
  while(NOT comment EQUAL -1)
    string(SUBSTRING "${manifest}" 0 ${comment} before)
    string(SUBSTRING "${manifest}" ${comment} -1 after)
    string(FIND "${after}" "-->" close)
    math(EXPR close "${close} + 3")
    string(SUBSTRING "${after}" ${close} -1 after)
    set(manifest "${before}${after}")
    string(FIND "${manifest}" "<!--" comment)
  endwhile()
endif()

# What the manifest must hold, each a regular expression over the XML, the settings over the
# application's windowsSettings element alone.
string(REGEX MATCH "<windowsSettings>.*</windowsSettings>" settings "${manifest}")
set(space "[ \n]*")
macro(expect_in text label pattern)
  if(NOT manifest STREQUAL "" AND NOT "${text}" MATCHES "${pattern}")
    list(APPEND problems "the manifest lacks ${label}")
  endif()
endmacro()
expect_in("${manifest}" "the program's identity with the version ${VERSION}.0"
          "<assembly [^>]*>${space}<assemblyIdentity type=\"win32\" name=\"Quillmoor.Updater\" version=\"${VERSION}.0\" ")
expect_in("${manifest}" "the caller's rights (asInvoker)"
          "<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>")
expect_in("${manifest}" "the dependency on Common Controls 6"
          "<dependency>${space}<dependentAssembly>${space}<assemblyIdentity type=\"win32\" name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\" processorArchitecture=\"[*]\" publicKeyToken=\"6595b64144ccf1df\" language=\"[*]\"/>${space}</dependentAssembly>${space}</dependency>")
# Per-monitor DPI awareness: v2, else per-monitor (read from Windows 10 1607 on), and the older
# setting for Windows 8 and 8.1.
expect_in("${settings}" "dpiAwareness PerMonitorV2, PerMonitor in windowsSettings"
          "<dpiAwareness xmlns=\"http://schemas.microsoft.com/SMI/2016/WindowsSettings\">PerMonitorV2, PerMonitor</dpiAwareness>")
expect_in("${settings}" "dpiAware true/pm in windowsSettings"
          "<dpiAware xmlns=\"http://schemas.microsoft.com/SMI/2005/WindowsSettings\">true/pm</dpiAware>")
expect_in("${settings}" "longPathAware in windowsSettings"
          "<longPathAware xmlns=\"http://schemas.microsoft.com/SMI/2016/WindowsSettings\">true</longPathAware>")

if(problems)
  list(JOIN problems "\n  " text)
  message(FATAL_ERROR "the resources are not as expected:\n  ${text}\nin the program:\n  ${EXE}")
endif()
string(FIND "${rc}" "VERSIONINFO" start)
string(SUBSTRING "${rc}" ${start} -1 block)
string(FIND "${block}" "\nEND\n" end)
string(SUBSTRING "${block}" 0 ${end} block)
message(STATUS "${EXE}: version resource and manifest as expected\n${block}")
