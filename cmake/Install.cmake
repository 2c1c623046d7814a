# Install.cmake - the release layout: executable, example settings and README
# side by side in one directory, because the gateway keeps its files beside
# its executable. Components:
#   gateway   executable and README, in every install and package
#   settings  the example settings as the operator's own, only when missing
#             (cmake --install, the .zip, the .msi)
#   unit      the systemd unit beside the executable (cmake --install on Linux)
#   debian    what only the .deb holds: the example under a name the gateway
#             does not read (its postinst copies it into place), the unit in
#             the system's unit directory, copyright, changelog, lintian notes
if(NOT WIN32 AND CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX /opt/quillet-hollin-gateway CACHE PATH "Install directory" FORCE)
endif()

install(TARGETS QuilletHollinGateway RUNTIME DESTINATION . COMPONENT gateway)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION . COMPONENT gateway)

# The settings are the operator's once edited: an upgrade must not overwrite them.
install(CODE "
  set(settings \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/QuilletHollinGateway.ini\")
  if(EXISTS \"\${settings}\")
    message(STATUS \"Keeping: \${settings}\")
  else()
    file(INSTALL \"${PROJECT_SOURCE_DIR}/packaging/QuilletHollinGateway.ini\"
         DESTINATION \"\${CMAKE_INSTALL_PREFIX}\")
  endif()
" COMPONENT settings)

if(NOT WIN32)
  set(unit ${PROJECT_SOURCE_DIR}/packaging/QuilletHollinGateway.service)
  install(FILES ${unit} DESTINATION . COMPONENT unit)

  set(debian ${PROJECT_SOURCE_DIR}/packaging/debian)
  set(doc /usr/share/doc/quillet-hollin-gateway)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/QuilletHollinGateway.ini DESTINATION .
          RENAME QuilletHollinGateway.ini.example COMPONENT debian EXCLUDE_FROM_ALL)
  install(FILES ${unit} DESTINATION /lib/systemd/system COMPONENT debian EXCLUDE_FROM_ALL)
  install(FILES ${debian}/copyright DESTINATION ${doc} COMPONENT debian EXCLUDE_FROM_ALL)
  install(FILES ${debian}/lintian-overrides DESTINATION /usr/share/lintian/overrides
          RENAME quillet-hollin-gateway COMPONENT debian EXCLUDE_FROM_ALL)
  # Debian wants the changelog compressed, without a name or time stamp inside.
  configure_file(${debian}/changelog.in ${CMAKE_BINARY_DIR}/debian/changelog @ONLY)
  install(CODE "
    execute_process(COMMAND gzip -9nf \"${CMAKE_BINARY_DIR}/debian/changelog\" -c
                    OUTPUT_FILE \"${CMAKE_BINARY_DIR}/debian/changelog.gz\" RESULT_VARIABLE failed)
    if(failed)
      message(FATAL_ERROR \"gzip failed on the changelog\")
    endif()
  " COMPONENT debian EXCLUDE_FROM_ALL)
  install(FILES ${CMAKE_BINARY_DIR}/debian/changelog.gz DESTINATION ${doc}
          COMPONENT debian EXCLUDE_FROM_ALL)
endif()
