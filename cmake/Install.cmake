# Install.cmake - the release layout: executable, example settings and README
# side by side in one directory (plus the systemd unit on Linux), because the
# gateway keeps its files beside its executable.
if(NOT WIN32 AND CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX /opt/quillet-hollin-gateway CACHE PATH "Install directory" FORCE)
endif()

install(TARGETS QuilletHollinGateway RUNTIME DESTINATION .)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)
if(NOT WIN32)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/QuilletHollinGateway.service DESTINATION .)
endif()

# The settings are the operator's once edited: an upgrade must not overwrite them.
install(CODE "
  set(settings \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/QuilletHollinGateway.ini\")
  if(EXISTS \"\${settings}\")
    message(STATUS \"Keeping: \${settings}\")
  else()
    file(INSTALL \"${PROJECT_SOURCE_DIR}/packaging/QuilletHollinGateway.ini\"
         DESTINATION \"\${CMAKE_INSTALL_PREFIX}\")
  endif()
")
