# Run by cpack once the files are staged (CPACK_PRE_BUILD_SCRIPTS): the Debian package gets what
# Debian wants of every package beside the agent home: its copyright file, its changelog and the
# overrides of the checks that do not hold for a program installed under /opt.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
set(root ${CPACK_TEMPORARY_INSTALL_DIRECTORY})
set(doc ${root}/usr/share/doc/${CPACK_PACKAGE_NAME})
file(MAKE_DIRECTORY ${doc} ${root}/usr/share/lintian/overrides)
configure_file(${CPACK_VORKEL_FILES}/copyright ${doc}/copyright COPYONLY)
string(TIMESTAMP date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${doc}/changelog
     "${CPACK_PACKAGE_NAME} (${CPACK_PACKAGE_VERSION}) unstable; urgency=medium\n\n"
     "  * Release ${CPACK_PACKAGE_VERSION}; the agent home is /opt/vorkel, its documentation\n"
     "    /opt/vorkel/doc.\n\n"
     " -- ${CPACK_PACKAGE_CONTACT}  ${date}\n")
execute_process(COMMAND gzip -9nf ${doc}/changelog RESULT_VARIABLE gzipped)
if(NOT gzipped EQUAL 0)
  message(FATAL_ERROR "gzip of the Debian changelog failed")
endif()
configure_file(${CPACK_VORKEL_FILES}/lintian-overrides ${root}/usr/share/lintian/overrides/${CPACK_PACKAGE_NAME}
               COPYONLY)
file(CHMOD ${doc}/copyright ${doc}/changelog.gz ${root}/usr/share/lintian/overrides/${CPACK_PACKAGE_NAME}
     PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
