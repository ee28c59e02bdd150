# Signs the packed quillmoor-updater.exe with Authenticode, when a certificate is given. CPack runs
# this after it has put the files to pack in its staging folder (and stripped them) and before it
# makes the archive, so the signature covers the very bytes that ship.
#
# The certificate comes from the environment of cpack (scripts/package.sh passes it on):
#   QM_SIGN_PKCS12          a PKCS#12 file (.pfx, .p12) with the code-signing certificate and its key
#   QM_SIGN_PASSWORD_FILE   a file whose first line is the PKCS#12 password (optional)
#   QM_SIGN_TIMESTAMP       an RFC 3161 time-stamp server's URL (optional; without a time stamp the
#                           signature stops being valid when the certificate expires)
# Without QM_SIGN_PKCS12 the program is packed unsigned.
if(NOT DEFINED ENV{QM_SIGN_PKCS12} OR "$ENV{QM_SIGN_PKCS12}" STREQUAL "")
  return()
endif()

set(qm_exe ${CPACK_TEMPORARY_DIRECTORY}/quillmoor-updater.exe)
if(NOT EXISTS ${qm_exe})
  message(FATAL_ERROR "nothing to sign: no quillmoor-updater.exe in\n  ${CPACK_TEMPORARY_DIRECTORY}")
endif()
find_program(qm_osslsigncode osslsigncode)
if(NOT qm_osslsigncode)
  message(FATAL_ERROR "osslsigncode is not installed (scripts/install-deps.sh installs it)")
endif()

set(qm_options -pkcs12 $ENV{QM_SIGN_PKCS12} -h sha256 -n "Quillmoor update helper")
if(DEFINED ENV{QM_SIGN_PASSWORD_FILE} AND NOT "$ENV{QM_SIGN_PASSWORD_FILE}" STREQUAL "")
  list(APPEND qm_options -readpass $ENV{QM_SIGN_PASSWORD_FILE})
endif()
if(DEFINED ENV{QM_SIGN_TIMESTAMP} AND NOT "$ENV{QM_SIGN_TIMESTAMP}" STREQUAL "")
  list(APPEND qm_options -ts $ENV{QM_SIGN_TIMESTAMP})
endif()

# osslsigncode writes a new file; the signed one replaces the staged one only when signing worked.
file(REMOVE ${qm_exe}.signed)
execute_process(COMMAND ${qm_osslsigncode} sign ${qm_options} -in ${qm_exe} -out ${qm_exe}.signed
                OUTPUT_VARIABLE qm_output ERROR_VARIABLE qm_output RESULT_VARIABLE qm_result)
if(NOT qm_result EQUAL 0)
  file(REMOVE ${qm_exe}.signed)
  message(FATAL_ERROR "osslsigncode could not sign quillmoor-updater.exe:\n${qm_output}")
endif()
file(RENAME ${qm_exe}.signed ${qm_exe})
message(STATUS "signed quillmoor-updater.exe with $ENV{QM_SIGN_PKCS12}")
