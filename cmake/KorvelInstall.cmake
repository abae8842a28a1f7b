# Installation rules and the Debian package (`make package`, or `cpack -G DEB` in
# the build folder). Included once, at the end of the top-level CMakeLists.txt,
# when every target of the tree exists: an executable that this tree does not
# build is simply left out, together with the files that only serve it.

include(${CMAKE_CURRENT_LIST_DIR}/KorvelInstallDirs.cmake)

set(KORVEL_PACKAGE_NAME korvelcrypt)
set(KORVEL_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
set(KORVEL_PACKAGING_OUT ${PROJECT_BINARY_DIR}/packaging)
set(KORVEL_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/${KORVEL_PACKAGE_NAME})
set(KORVEL_ICON_SIZES 16 32 48 64 128 256)

find_program(KORVEL_GZIP gzip REQUIRED)

# Writes <output> as gzip -9n of <input>: maximum compression and no name or
# time stamp in the header, so that the same text always gives the same bytes.
function(korvel_gzip input output)
  get_filename_component(folder ${output} DIRECTORY)
  file(MAKE_DIRECTORY ${folder})
  execute_process(COMMAND ${KORVEL_GZIP} -9nc INPUT_FILE ${input} OUTPUT_FILE ${output} RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "gzip ${input} failed")
  endif()
endfunction()

# korvel_install_manpage(name): packaging/man/<name>.1, with the version filled
# in, compressed into section 1.
function(korvel_install_manpage name)
  set(KORVEL_VERSION ${PROJECT_VERSION})
  configure_file(${KORVEL_PACKAGING_DIR}/man/${name}.1 ${KORVEL_PACKAGING_OUT}/man/${name}.1 @ONLY)
  korvel_gzip(${KORVEL_PACKAGING_OUT}/man/${name}.1 ${KORVEL_PACKAGING_OUT}/man/${name}.1.gz)
  install(FILES ${KORVEL_PACKAGING_OUT}/man/${name}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endfunction()

# ---- the runtime library, its headers and the decryptor's interface

install(TARGETS kv LIBRARY DESTINATION ${KORVEL_INSTALL_LIBDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/runtime/include/kv DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  FILES_MATCHING PATTERN "*.h")
# The decryptor is a static archive (link it with -lzervcrypto -lkv -lcrypto
# -lstdc++); zervcrypto.h includes <kv/kv_core.h>, so it sits beside the kv folder.
install(TARGETS zervcrypto ARCHIVE DESTINATION ${KORVEL_INSTALL_LIBDIR})
# A stripped install (the package's) strips executables and shared libraries
# only; the archive's debugging sections go the same way.
install(CODE "
  if(CMAKE_INSTALL_DO_STRIP)
    execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-debug
      \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${KORVEL_INSTALL_LIBDIR}/$<TARGET_FILE_NAME:zervcrypto>\"
      COMMAND_ERROR_IS_FATAL ANY)
  endif()")
install(FILES ${PROJECT_SOURCE_DIR}/engine/zervcrypto.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# ---- the executables and their place on the desktop

# No install RPATH: the package puts libkv in the system's library folder, where
# the loader finds it, and Debian forbids search paths in packaged binaries.
# Both executables therefore keep CMake's default, which drops the build tree's
# RPATH at install time.
if(TARGET korvelcrypt)
  install(TARGETS korvelcrypt RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${KORVEL_PACKAGING_DIR}/korvelcrypt.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  # The icon is the drawing itself, for any size, and rendered at the sizes
  # that desktops without SVG support look for.
  include(${CMAKE_CURRENT_LIST_DIR}/KorvelImages.cmake)
  korvel_add_desktop_icons(${KORVEL_PACKAGING_OUT}/icons/hicolor)
  foreach(size ${KORVEL_ICON_SIZES})
    install(FILES ${KORVEL_PACKAGING_OUT}/icons/hicolor/${size}x${size}/apps/korvelcrypt.png
      DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
  endforeach()
  install(FILES ${KORVEL_SVG_DIR}/crypt.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
    RENAME korvelcrypt.svg)
  # What software centres show: summary, description, screenshot, releases.
  install(FILES ${KORVEL_PACKAGING_DIR}/${KORVEL_APPSTREAM_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
  install(FILES ${KORVEL_PACKAGING_DIR}/mime/korvelcrypt.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/mime/packages)
  korvel_install_manpage(korvelcrypt)
endif()
if(TARGET korvelcrypt-cli)
  install(TARGETS korvelcrypt-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  korvel_install_manpage(korvelcrypt-cli)
  # Loaded by bash-completion when korvelcrypt-cli is first completed.
  install(FILES ${KORVEL_PACKAGING_DIR}/bash-completion/korvelcrypt-cli
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
endif()

# ---- the files Debian asks of every package

install(FILES ${KORVEL_PACKAGING_DIR}/debian/copyright DESTINATION ${KORVEL_DOCDIR})
korvel_gzip(${KORVEL_PACKAGING_DIR}/debian/changelog ${KORVEL_PACKAGING_OUT}/changelog.Debian.gz)
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${KORVEL_PACKAGING_DIR}/debian/changelog)
install(FILES ${KORVEL_PACKAGING_OUT}/changelog.Debian.gz DESTINATION ${KORVEL_DOCDIR})

# ---- the Debian package

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${KORVEL_PACKAGE_NAME})
set(CPACK_PACKAGE_VENDOR Korvel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Korvel Crypt maintainers <crypt@korvel.dev>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "decrypt files wrapped in the Korvel security envelope")
# The long description as the control file shows it: lines under 80 columns,
# a lone "." between paragraphs.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "Korvel Crypt decrypts files encrypted with Korvel's security envelope"
  "(*.korvel-env). Drop files and folders on its window, or open them from the"
  "file manager, type the passphrase and press Decrypt: a pool of worker"
  "threads writes each plaintext next to its source."
  "."
  "The package also holds korvelcrypt-cli, which decrypts with the same rules"
  "without a window, for scripts and servers, and libkv, the kv_ platform"
  "runtime library, with the C headers of the library and of the envelope"
  "decryptor.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CPACK_PACKAGE_CONTACT})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# dpkg-shlibdeps computes the library dependencies; libkv gets a shlibs entry.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# The loader cache is refreshed by dpkg's ldconfig trigger, as Debian asks. CPack
# also writes postinst and postrm scripts that call ldconfig for any library
# under /usr/lib; those calls are redundant but harmless.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${KORVEL_PACKAGING_DIR}/debian/triggers)
if(TARGET korvelcrypt)
  # Qt loads its display plugins at run time, so no linked library names them.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
  # The window's own texts are compiled in; the toolkit's (standard buttons)
  # come in the user's language from Debian's catalogues.
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-translations-l10n")
endif()

set(CPACK_SOURCE_IGNORE_FILES "/build[^/]*/" "/\\\\.git" "/\\\\.cache/")
include(CPack)
