# The Debian package: `cpack -G DEB` in a build configured with the install
# prefix /usr. Library dependencies come from dpkg-shlibdeps; the QML modules
# the window loads at run time are not linked, so they are named here.
set(CPACK_PACKAGE_NAME pravel-fw-loader)
set(CPACK_PACKAGE_VENDOR Corvane)
set(CPACK_PACKAGE_CONTACT "Corvane <support@corvane.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware loader for the Pravel instrument")
# The synopsis is the summary; CPack indents these lines and turns the empty
# one into the paragraph mark.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Writes the Pravel instrument's firmware (FPGA bitstream and application
image) into its SPI configuration flash through the FTDI FT2232H bridge on
its programming port.

The package holds the loader window, pravel-fw-loader; the command-line
tool pravel-flash, which also reads back, verifies and erases the flash and
configures the FPGA directly; and a udev rule that lets the user at the
console open the bridge.")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "qml-module-qtquick2, qml-module-qtquick-controls2, qml-module-qtquick-layouts, qml-module-qtquick-window2, qml-module-qt-labs-platform, qml-module-qtquick-templates2, libqt5svg5")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
