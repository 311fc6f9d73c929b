# Read by CPack as it makes the zip, in the environment of that moment,
# which decides whether cmake/release.cmake signs the programs: the name
# says "-unsigned" when it will not.
if("$ENV{RZ_SIGN_CERT}" STREQUAL "")
  string(APPEND CPACK_PACKAGE_FILE_NAME "-unsigned")
endif()
# A package that fails (a signature that cannot be made) must leave no zip
# of its name behind: an older one would pass for it.
file(REMOVE "${CPACK_PACKAGE_DIRECTORY}/${CPACK_PACKAGE_FILE_NAME}.zip")
