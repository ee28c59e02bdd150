# What `cmake --install` puts in place and CPack packs: the helper, the README with its
# integration guide, and the guide's worked example (the sample application's source).
# Windows: a zip with everything at the top of the archive's folder, the helper next to the README.
# Linux: a tar.gz in the usual prefix layout, bin/ and share/doc/quillmoor-updater/.
include(GNUInstallDirs)

if(WIN32)
  set(qm_install_bin_dir .)
  set(qm_install_doc_dir .)
  set(qm_package_system windows-x64)
  set(CPACK_GENERATOR ZIP)
else()
  set(qm_install_bin_dir ${CMAKE_INSTALL_BINDIR})
  set(qm_install_doc_dir ${CMAKE_INSTALL_DATAROOTDIR}/doc/quillmoor-updater)
  string(TOLOWER ${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR} qm_package_system)
  set(CPACK_GENERATOR TGZ)
endif()

if(TARGET quillmoor-updater)
  install(TARGETS quillmoor-updater RUNTIME DESTINATION ${qm_install_bin_dir})
endif()
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${qm_install_doc_dir})
install(FILES ${CMAKE_SOURCE_DIR}/examples/sample_app/sample_app.cpp DESTINATION ${qm_install_doc_dir}/examples)

set(CPACK_PACKAGE_NAME quillmoor-updater)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Finishes an update of the Quillmoor application as one transaction")
set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-${qm_package_system})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
if(WIN32)
  # Authenticode, when the environment names a certificate: after the strip, before the archive.
  set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/cmake/sign.cmake)
endif()
include(CPack)
