# What the Debian package holds, and how CPack builds it:  cmake --build build --target package
include(GNUInstallDirs)
set(pkg ${CMAKE_SOURCE_DIR}/packaging)

install(TARGETS l2pt-chassisd l2ptd RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(TARGETS l2ptctl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The lab: its module beside its entry, which finds it through the symlink in bin/.
install(PROGRAMS ${CMAKE_SOURCE_DIR}/lab/l2pt-lab DESTINATION ${CMAKE_INSTALL_LIBDIR}/l2pt/lab)
install(FILES ${CMAKE_SOURCE_DIR}/lab/l2pt_lab.py DESTINATION ${CMAKE_INSTALL_LIBDIR}/l2pt/lab)
file(CREATE_LINK ../${CMAKE_INSTALL_LIBDIR}/l2pt/lab/l2pt-lab ${CMAKE_BINARY_DIR}/l2pt-lab SYMBOLIC)
install(FILES ${CMAKE_BINARY_DIR}/l2pt-lab DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${pkg}/systemd/l2pt-chassisd@.service ${pkg}/systemd/l2ptd@.service
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/systemd/system)
install(FILES ${pkg}/bash-completion/l2ptctl
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
install(FILES ${CMAKE_SOURCE_DIR}/examples/net/one-switch.yaml DESTINATION /etc/l2pt
        RENAME example.yaml)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/examples/lab DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

# Man pages, compressed as Debian has them.
foreach(page l2pt-chassisd l2ptd l2ptctl)
  set(gz ${CMAKE_BINARY_DIR}/man/${page}.8.gz)
  add_custom_command(OUTPUT ${gz}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND gzip -9n -c ${pkg}/man/${page}.8 > ${gz}
    DEPENDS ${pkg}/man/${page}.8 VERBATIM)
  list(APPEND man_pages ${gz})
endforeach()
add_custom_target(man ALL DEPENDS ${man_pages})
install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME l2pt)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "l2pt developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "layer-2 protocol tunnelling switch on Linux interfaces")
set(CPACK_PACKAGE_DESCRIPTION
    "l2pt-chassisd runs the chassis of one switch on Linux interfaces, l2ptd the task that
tunnels customer STP, LLDP, GVRP and PVST PDUs across a provider network, l2ptctl is the
operator's tool and l2pt-lab builds provider networks in network namespaces.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The maintainer scripts make the user and groups with adduser; the lab's tools are suggested.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS
    "python3, python3-yaml, python3-scapy, iproute2, bridge-utils, lldpd, iputils-ping, iperf3")
# The example under /etc is the administrator's to edit: a conffile, which upgrades keep.
file(WRITE ${CMAKE_BINARY_DIR}/conffiles "/etc/l2pt/example.yaml\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${pkg}/debian/postinst ${pkg}/debian/prerm
    ${pkg}/debian/postrm
    ${CMAKE_BINARY_DIR}/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)
