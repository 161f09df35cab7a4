# Manual pages, the package's documents and the Debian package (CPack).

# Compressed as Debian wants them.
find_program(VELMORA_GZIP gzip REQUIRED)
set(velmora_docs_out ${CMAKE_BINARY_DIR}/docs)
set(velmora_doc_files)
foreach(page velmora.1 velmora-call.1 velmora-store.1)
  add_custom_command(OUTPUT ${velmora_docs_out}/${page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${velmora_docs_out}
    COMMAND ${VELMORA_GZIP} -9nc ${CMAKE_SOURCE_DIR}/docs/man/${page} > ${velmora_docs_out}/${page}.gz
    DEPENDS ${CMAKE_SOURCE_DIR}/docs/man/${page})
  list(APPEND velmora_doc_files ${velmora_docs_out}/${page}.gz)
  install(FILES ${velmora_docs_out}/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
add_custom_command(OUTPUT ${velmora_docs_out}/changelog.gz
  COMMAND ${CMAKE_COMMAND} -E make_directory ${velmora_docs_out}
  COMMAND ${VELMORA_GZIP} -9nc ${CMAKE_SOURCE_DIR}/docs/debian/changelog > ${velmora_docs_out}/changelog.gz
  DEPENDS ${CMAKE_SOURCE_DIR}/docs/debian/changelog)
list(APPEND velmora_doc_files ${velmora_docs_out}/changelog.gz)
add_custom_target(velmora_docs ALL DEPENDS ${velmora_doc_files})
install(FILES ${velmora_docs_out}/changelog.gz docs/debian/copyright DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/velmora)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velmora)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Velmora developers")
set(CPACK_PACKAGE_CONTACT "Velmora developers <velmora@kavo-ca.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "desktop companion for a certification authority's web portal")
set(CPACK_PACKAGE_DESCRIPTION
    "Velmora shows the certification authority's portal in a window and lets\nits pages enrol, install and use the user's certificates, keys and smart\ncards. Its PKCS#11 module shows the user's certificates to browsers, mail\nclients and command-line tools.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
    ${CMAKE_BINARY_DIR}/lib ${CMAKE_INSTALL_PREFIX}/${VELMORA_INSTALL_PRIVATE_DIR})
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
include(CPack)
