# Install folders, shared by the install rules and the tests that check them.
# GNUInstallDirs sets some of its folders (DATADIR, MANDIR) in the including scope
# only, so it is included every time; the rest once.
include(GNUInstallDirs)
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
