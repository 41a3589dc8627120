# The installed agent home and its packages.
#   cmake --build BUILD --target vorkel_home   builds what the home holds;
#   cmake --install BUILD --prefix DIR           lays out an agent home in DIR:
#     bin/vorkel, bin/snapshot-reader, bin/vorkel-collector, lib/libvorkel.so, lib/vorkel-agent.jar,
#     doc/README.md, doc/attach.md
#   (cd BUILD && cpack)                          makes the same home as
#     vorkel-VERSION-Linux-ARCH.tar.gz (one top directory) and as a Debian package that installs
#     it under /opt/vorkel (with the copyright, changelog and lintian overrides Debian wants).
# Installing builds nothing itself (not the tests and benchmarks of `all` either).
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
add_custom_target(vorkel_home)
add_dependencies(vorkel_home vorkel vorkel_agent_jar vorkel-command snapshot-reader vorkel-collector)
install(TARGETS vorkel-command snapshot-reader vorkel-collector RUNTIME DESTINATION bin)
# The library also runs as a program (its helper modes): it stays executable.
install(TARGETS vorkel LIBRARY DESTINATION lib
        PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
install(FILES ${VORKEL_AGENT_JAR} DESTINATION lib)
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/docs/attach.md DESTINATION doc)

execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE VORKEL_DEB_ARCHITECTURE
                OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(NOT VORKEL_DEB_ARCHITECTURE)
  set(VORKEL_DEB_ARCHITECTURE amd64)
endif()

set(CPACK_PACKAGE_NAME vorkel)
set(CPACK_PACKAGE_VENDOR "vorkel developers")
set(CPACK_PACKAGE_CONTACT "vorkel developers <dev@vorkel.invalid>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Java application monitoring agent with heap snapshots on demand")
set(CPACK_PACKAGE_FILE_NAME vorkel-${PROJECT_VERSION}-Linux-${CMAKE_SYSTEM_PROCESSOR})
set(CPACK_GENERATOR TGZ DEB)
set(CPACK_STRIP_FILES ON)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
# The archive unpacks to vorkel-VERSION/; the Debian package installs to /opt/vorkel.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_SOURCE_DIR}/cmake/package/generator_settings.cmake)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/cmake/package/debian_files.cmake)
# (Variables named CPACK_* reach the scripts.)
set(CPACK_VORKEL_FILES ${CMAKE_SOURCE_DIR}/cmake/package)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${VORKEL_DEB_ARCHITECTURE})
set(CPACK_DEBIAN_PACKAGE_SECTION java)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "default-jre-headless | java-runtime-headless")
# The extended description, below the summary; lines of at most 80 characters.
string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
       "A JVMTI agent and its Java half that take heap snapshots when a JVM runs out\n"
       "of memory or on request, follow user transactions with their lock waits and\n"
       "file streams, count collections and report to a collector. The vorkel\n"
       "command loads the agent into a running HotSpot JVM, also one of another user\n"
       "or in a container, takes a snapshot and prints its leak suspects.")
include(CPack)
