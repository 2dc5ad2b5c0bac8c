# The download for Windows users: `cmake --build <build dir> --target package`
# makes LumaretDesktopProxyLauncher-<version>-<label>-win64.zip in the build
# directory, holding the program, a plain-text README with Windows line ends
# and the program's SHA-256 checksum. Only the product build is installed; the
# test-hosts build and the test programs have no install rules.

install(TARGETS LumaretDesktopProxyLauncher RUNTIME DESTINATION .)

configure_file(${PROJECT_SOURCE_DIR}/packaging/README.txt
               ${CMAKE_BINARY_DIR}/packaging/README.txt @ONLY NEWLINE_STYLE CRLF)
install(FILES ${CMAKE_BINARY_DIR}/packaging/README.txt DESTINATION .)

# The checksum is taken from the installed copy, so it is the packaged file's.
install(CODE "set(LUMARET_PACKAGE_PROGRAM \"LumaretDesktopProxyLauncher.exe\")")
install(SCRIPT ${PROJECT_SOURCE_DIR}/cmake/package_checksum.cmake)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME LumaretDesktopProxyLauncher)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME
    "LumaretDesktopProxyLauncher-${PROJECT_VERSION}-${LUMARET_VERSION_LABEL}-win64")
# The files sit at the top of the ZIP, as Explorer's "Extract All" makes a
# folder of the ZIP's name anyway.
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
# The source package (target package_source) leaves out builds and Git's data.
set(CPACK_SOURCE_IGNORE_FILES "/build/" "/\\.git/" "__pycache__")
include(CPack)
