# Package.cmake - `cmake --build <dir> --target package`: on Linux the .deb,
# in the MinGW build the .zip and the .msi (wixl, through CPack's External
# generator and cmake/Msi.cmake). cpack -D CPACK_PACKAGE_VERSION=... builds
# the same files under another version, as the upgrade tests do.
set(GATEWAY_PACKAGE_VERSION ${PROJECT_VERSION} CACHE STRING "Version of the packages")

set(CPACK_PACKAGE_NAME QuilletHollinGateway)
set(CPACK_PACKAGE_VENDOR "Quillet Hollin")
set(CPACK_PACKAGE_VERSION ${GATEWAY_PACKAGE_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "HTTP gateway from shop tills to a payment transaction server")
set(CPACK_PACKAGE_HOMEPAGE_URL "http://www.quillethollin.example/")
set(CPACK_PACKAGE_CONTACT "Quillet Hollin <support@quillethollin.example>")
set(CPACK_STRIP_FILES ON)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/PackageNames.cmake)

if(WIN32)
  set(CPACK_GENERATOR ZIP External)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  set(CPACK_EXTERNAL_ENABLE_STAGING ON)
  set(CPACK_EXTERNAL_PACKAGE_SCRIPT ${PROJECT_SOURCE_DIR}/cmake/Msi.cmake)
  set(CPACK_GATEWAY_WXS ${PROJECT_SOURCE_DIR}/packaging/QuilletHollinGateway.wxs)
else()
  set(CPACK_GENERATOR DEB)
  # One package of the listed components (see Install.cmake).
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
  set(CPACK_COMPONENTS_ALL gateway debian)
  set(CPACK_PACKAGING_INSTALL_PREFIX /opt/quillet-hollin-gateway)
  set(CPACK_DEBIAN_PACKAGE_NAME quillet-hollin-gateway)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION net)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # dpkg-shlibdeps adds libssl3, which holds both libssl and libcrypto: TLS
  # on the server link and the keyed hashes. The system's trust store, used
  # when ServerCaFile is empty, is /etc/ssl/certs from ca-certificates.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS adduser)
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS ca-certificates)
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Tills that can only send plain HTTP GET requests reach a payment transaction
server through the gateway: it admits the tills listed in its settings,
frames each sale, funds-available request or void into one message on its
persistent connection to the server, and answers with the server's reply.
It runs as the systemd service QuilletHollinGateway under the account
qhgateway, from /opt/quillet-hollin-gateway.")
  set(control ${PROJECT_SOURCE_DIR}/packaging/debian)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${control}/postinst ${control}/prerm ${control}/postrm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

include(CPack)
