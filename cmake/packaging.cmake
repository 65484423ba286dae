# Installation and packages: a .deb of the native programs, holm-fleet,
# their manual pages and the Ansible example, and for Windows a .zip of the two programs, ready to
# run from it.
include(GNUInstallDirs)

if(WIN32)
  install(TARGETS holm holm-pack RUNTIME DESTINATION .)
else()
  install(TARGETS holm holm-pack holm-fleet holm-find RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES man/holm.1 man/holm-pack.1 man/holm-fleet.1 man/holm-find.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  # An example for sites that run Ansible, to be copied and adapted.
  install(DIRECTORY contrib/ansible DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

set(CPACK_PACKAGE_NAME holm)
set(CPACK_PACKAGE_VENDOR "the HOLM developers")
set(CPACK_PACKAGE_CONTACT "the HOLM developers <holm@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Delivers a firmware image or print data to a printer")
set(CPACK_PACKAGE_DESCRIPTION "holm carries a stored ZIP archive appended to its own executable. \
Without options it extracts the archive; with options it sends the data to a printer \
over the network (port 9100, with a Telnet console login), to the parallel port or as \
raw jobs to a CUPS queue. holm-pack makes such bundles; holm-fleet delivers one to many \
printers at once, and reads their firmware over IPP; holm-find finds a site's printers \
(address ranges over IPP, DNS-SD, SNMP) and lists them for holm-fleet.")
# Symbols are of no use to a user, and the packed stub is copied into every
# bundle, so it should carry nothing it does not need.
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  # The dependencies come from the linked libraries, with the versions the
  # build needs (holm-fleet links libcups2); holm opens libcups2 at run
  # time, so it is named here as well (its functions used date from CUPS
  # 1.4). holm-find links Avahi's client library and net-snmp's, named
  # here too so that the package says so whatever the linker kept.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libcups2 (>= 1.4), libavahi-client3, libsnmp40")
  # GNU parallel spreads a fleet over several control machines (holm-fleet
  # itself does not use it); holm-fleet --key and the Ansible role's
  # holm_key verify signatures with minisign; holm-pack --sign and -t, and
  # holm-fleet --ca, make and check Authenticode signatures with osslsigncode;
  # holm-find --dns-sd browses through the machine's Avahi daemon.
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "parallel, minisign, osslsigncode, avahi-daemon")
endif()

include(CPack)
