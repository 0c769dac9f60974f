# The Debian package, made by CPack from the install rules: cpack -G DEB in the build folder
# (scripts/package.sh builds and checks it).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velmora-auth)
set(CPACK_PACKAGE_VENDOR "The VelmoraAuth developers")
set(CPACK_PACKAGE_CONTACT "The VelmoraAuth developers <velmora-auth@velmora.example>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The installed program and its HTTP module, without their debugging sections.
set(CPACK_STRIP_FILES ON)
# Whatever the umask of the machine that builds it.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://velmora.example/")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "sign in to a Velmora firewall's captive portal and stay connected
 Velmora Auth signs you in to the captive portal of a Velmora firewall
 appliance instead of a browser, keeps the portal session alive while you
 work and signs you out when you ask. It finds the appliance by itself or
 uses the address and port you type, and waits in the system tray.")
# The dependencies are the packages of the libraries that the program and its module load
# (dpkg-shlibdeps reads every ELF file in the package)...
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# And the programs it runs: traceroute finds the gateways; the terms page opens through xdg-open.
# QtKeychain loads libsecret only when it first asks the keyring, so dpkg-shlibdeps cannot see it.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "traceroute, libsecret-1-0")
# A keyring to keep the remembered password in; without one it stays in the settings file.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils, gnome-keyring")

include(CPack)

# What the install rules take from the build: scripts/package.sh builds this alone.
add_custom_target(velmora-package-contents)
add_dependencies(velmora-package-contents velmora-auth velmora-http velmora-desktop-documents)
