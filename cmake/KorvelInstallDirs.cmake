# Install folders and names, shared by the install rules and the tests that check
# them. GNUInstallDirs sets some of its folders (DATADIR, MANDIR) in the including
# scope only, so it is included every time, and so is every plain variable; the
# rest once.
include(GNUInstallDirs)
# The AppStream component id, reverse-DNS of the project's domain; it names the
# metainfo file, whose launchable is the desktop entry korvelcrypt.desktop.
set(KORVEL_APPSTREAM_ID dev.korvel.crypt)
include_guard(GLOBAL)

# Debian searches the multiarch library folder under /usr and /usr/local alike.
# The package always installs under /usr whatever prefix this tree was configured
# with, while GNUInstallDirs picks the multiarch folder only for the prefix /usr;
# so on Debian the library folder follows the architecture triplet instead.
set(korvel_default_libdir ${CMAKE_INSTALL_LIBDIR})
if(CMAKE_INSTALL_LIBDIR STREQUAL "lib" AND CMAKE_LIBRARY_ARCHITECTURE AND EXISTS /etc/debian_version)
  set(korvel_default_libdir lib/${CMAKE_LIBRARY_ARCHITECTURE})
endif()
set(KORVEL_INSTALL_LIBDIR ${korvel_default_libdir} CACHE PATH "Folder of the libraries under the install prefix")
unset(korvel_default_libdir)
