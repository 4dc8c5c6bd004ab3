# The Debian package zeva_<version>_<arch>.deb, made by CPack from the
# install rules: ./package.sh builds it in one command.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zeva)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(ZEVA_PACKAGE_MAINTAINER "Zeva Client developers <zeva-client@localhost>"
    CACHE STRING "The Maintainer field of the Debian package")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ZEVA_PACKAGE_MAINTAINER}")

# Libraries from the binaries themselves (dpkg-shlibdeps); the Hangul font
# for the device's Korean messages on top, which no binary names.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS fonts-nanum)

set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "test client for the Ethernet service of a PLC")
string(CONCAT description
  "Zeva Client reads one variable of a programmable controller (PLC) over its\n"
  "Ethernet service, once or continuously, writes hexadecimal values into it and\n"
  "asks the device for its status, over TCP (port 2004) or UDP (port 2005). It\n"
  "shows the value, the device's state word, a plain message for every error the\n"
  "device reports and the response time of every exchange.\n"
  "\n"
  "This package holds the desktop window zeva-client, which can log every\n"
  "exchange to a CSV file")
if(TARGET zeva)
  string(APPEND description
    ",\nthe command-line client zeva for scripts and long polling runs with loss and\n"
    "round-trip statistics")
endif()
if(TARGET zeva-exporter)
  string(APPEND description
    ",\nthe Prometheus exporter zeva-exporter with its systemd unit, configuration\n"
    "and Grafana dashboard")
  # The exporter's configuration is the administrator's: an upgrade keeps
  # their changes.
  file(WRITE ${CMAKE_BINARY_DIR}/debian/conffiles "/etc/zeva/exporter.yml\n/etc/zeva/web.yml\n")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/debian/conffiles)
endif()
string(APPEND description
  ", and zeva-sim, a simulator of the device on\n"
  "loopback with faults on demand, for trying Zeva Client without a device.")
set(CPACK_PACKAGE_DESCRIPTION "${description}")

include(CPack)
