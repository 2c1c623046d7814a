# PackageNames.cmake - read by cpack for each generator, after any -D given to
# cpack, so that the file names follow the version actually packaged (the
# .deb's name comes from its own fields).
if(CPACK_GENERATOR STREQUAL "ZIP" OR CPACK_GENERATOR STREQUAL "External")
  set(CPACK_PACKAGE_FILE_NAME "QuilletHollinGateway-${CPACK_PACKAGE_VERSION}-win64")
endif()
