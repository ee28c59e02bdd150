# Packs the Windows build with a throwaway code-signing certificate, as scripts/package.sh does with
# a real one, and checks the Authenticode signature of the packed quillmoor-updater.exe.
#   cmake -D CPACK_CONFIG=<build>/CPackConfig.cmake -D WORK_DIR=<dir> -D UNSIGNED=<built program.exe>
#         -D EMULATOR=wine -P check_signature.cmake
#
# What it shows: the packed program carries a signature made with the given certificate; its digest
# matches the program's bytes (one changed byte makes the check fail, and so does a program without a
# signature); the signed program still starts. What it cannot show: that Windows trusts the
# signature. The certificate is self-signed, so the check names it as its own trusted root; a real
# one chains to a root that Windows trusts, and only that, with a time stamp and a reputation, is
# what antivirus products and SmartScreen look at.
cmake_minimum_required(VERSION 3.25)
include(${CPACK_CONFIG})
find_program(OPENSSL openssl REQUIRED)
find_program(OSSLSIGNCODE osslsigncode REQUIRED)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

function(run)
  execute_process(COMMAND ${ARGN} OUTPUT_VARIABLE output ERROR_VARIABLE output RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    list(JOIN ARGN " " command)
    message(FATAL_ERROR "failed:\n  ${command}\n${output}")
  endif()
endfunction()

# The throwaway certificate: RSA, valid for two days, for code signing, in a PKCS#12 file with a
# password, as certificate authorities hand them out.
set(subject "Quillmoor throwaway test signer")
set(password_file ${WORK_DIR}/password.txt)
file(WRITE ${password_file} "throwaway\n")
run(${OPENSSL} req -x509 -newkey rsa:2048 -sha256 -days 2 -subj "/CN=${subject}"
    -addext extendedKeyUsage=codeSigning -keyout ${WORK_DIR}/key.pem -passout pass:throwaway
    -out ${WORK_DIR}/certificate.pem)
run(${OPENSSL} pkcs12 -export -inkey ${WORK_DIR}/key.pem -passin pass:throwaway -in ${WORK_DIR}/certificate.pem
    -out ${WORK_DIR}/signer.pfx -passout pass:throwaway)

run(${CMAKE_COMMAND} -E env QM_SIGN_PKCS12=${WORK_DIR}/signer.pfx QM_SIGN_PASSWORD_FILE=${password_file}
    ${CMAKE_CPACK_COMMAND} --config ${CPACK_CONFIG} -B ${WORK_DIR}/packages)
set(archive ${WORK_DIR}/packages/${CPACK_PACKAGE_FILE_NAME}.zip)
file(MAKE_DIRECTORY ${WORK_DIR}/unpacked)
run(${CMAKE_COMMAND} -E tar xf ${archive} WORKING_DIRECTORY ${WORK_DIR}/unpacked)
set(signed ${WORK_DIR}/unpacked/${CPACK_PACKAGE_FILE_NAME}/quillmoor-updater.exe)

# The same program with one byte in its middle changed, after signing.
set(tampered ${WORK_DIR}/tampered.exe)
file(COPY_FILE ${signed} ${tampered})
file(SIZE ${tampered} size)
math(EXPR middle "${size} / 2")
file(READ ${tampered} byte OFFSET ${middle} LIMIT 1 HEX)
if(byte STREQUAL "51")
  file(WRITE ${WORK_DIR}/byte "R")
else()
  file(WRITE ${WORK_DIR}/byte "Q")
endif()
run(dd of=${tampered} bs=1 seek=${middle} conv=notrunc status=none INPUT_FILE ${WORK_DIR}/byte)

set(problems "")
function(verify program)
  execute_process(COMMAND ${OSSLSIGNCODE} verify -in ${program} -CAfile ${WORK_DIR}/certificate.pem
                  OUTPUT_VARIABLE output ERROR_VARIABLE output RESULT_VARIABLE result)
  set(verified ${result} PARENT_SCOPE)
  set(verify_output "${output}" PARENT_SCOPE)
endfunction()

verify(${signed})
if(NOT verified EQUAL 0 OR NOT verify_output MATCHES "Signature verification: ok")
  list(APPEND problems "the packed program's signature does not verify:\n${verify_output}")
elseif(NOT verify_output MATCHES "Signer #0:[\n\t ]+Subject: /CN=${subject}\n")
  list(APPEND problems "the packed program is not signed by the throwaway certificate:\n${verify_output}")
elseif(NOT verify_output MATCHES "Text description: Quillmoor update helper")
  list(APPEND problems "the signature lacks the program's description:\n${verify_output}")
endif()

verify(${tampered})
if(verified EQUAL 0 OR NOT verify_output MATCHES "MISMATCH")
  list(APPEND problems "the signature still verifies after a byte of the program changed:\n${verify_output}")
endif()

verify(${UNSIGNED})
if(verified EQUAL 0 OR NOT verify_output MATCHES "No signature found")
  list(APPEND problems "the unsigned build verifies:\n${verify_output}")
endif()

# A program that runs answers "bad command line" (2) when started without arguments.
execute_process(COMMAND ${EMULATOR} ${signed} RESULT_VARIABLE result)
if(NOT result EQUAL 2)
  list(APPEND problems "the signed program, started without arguments, answered ${result} instead of 2")
endif()

if(problems)
  list(JOIN problems "\n" text)
  message(FATAL_ERROR "${text}")
endif()
message(STATUS "the packed quillmoor-updater.exe is signed by CN=${subject} and verifies")
