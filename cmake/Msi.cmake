# Msi.cmake - CPack's External generator runs this with the staged files in
# CPACK_TEMPORARY_DIRECTORY, one folder per component: builds the .msi with wixl, then marks the
# settings component NeverOverwrite (128) and Permanent (16), beside 64-bit
# (256), which wixl does not do itself.
find_program(WIXL wixl)
find_program(MSIBUILD msibuild)
if(NOT WIXL OR NOT MSIBUILD)
  message(FATAL_ERROR "the .msi needs wixl and msibuild (Debian: apt-get install wixl msitools)")
endif()

set(msi ${CPACK_TOPLEVEL_DIRECTORY}/${CPACK_PACKAGE_FILE_NAME}.msi)
execute_process(
  COMMAND ${WIXL} -a x64 -D Version=${CPACK_PACKAGE_VERSION} -o ${msi} ${CPACK_GATEWAY_WXS}
  WORKING_DIRECTORY ${CPACK_TEMPORARY_DIRECTORY}
  RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "wixl failed (${failed})")
endif()
execute_process(
  COMMAND ${MSIBUILD} ${msi} -q "UPDATE `Component` SET `Attributes` = 400 WHERE `Component` = 'Settings'"
  RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "msibuild failed (${failed})")
endif()
set(CPACK_EXTERNAL_BUILT_PACKAGES ${msi})
