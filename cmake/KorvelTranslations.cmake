# The window's languages. translations/ holds the catalogues in Qt Linguist's
# format: korvelcrypt.ts, the template with every text of the window, its
# dialogs and menus (no language), and one korvelcrypt_<language>.ts per
# translation. lrelease compiles each translation at build time into
# korvelcrypt_<language>.qm, which goes into the application under :/i18n/.
#
# `cmake --build <build> --target translations` (make translations) runs lupdate
# over the sources of the window and over engine/ and tasks/, whose texts (task
# statuses, load summaries, messages) the window shows too: it adds new texts to
# every catalogue (marked unfinished in the translations) and drops texts that
# are gone.

find_package(Qt6 REQUIRED COMPONENTS LinguistTools)

set(KORVEL_TRANSLATIONS_DIR ${PROJECT_SOURCE_DIR}/translations)
set(KORVEL_TS_TEMPLATE ${KORVEL_TRANSLATIONS_DIR}/korvelcrypt.ts)
set(KORVEL_TS_FILES ${KORVEL_TRANSLATIONS_DIR}/korvelcrypt_de.ts)

# No source locations: line numbers would change the catalogues on every edit.
# A text that is gone is dropped rather than kept as obsolete.
set(KORVEL_LUPDATE_OPTIONS -no-obsolete -locations none -no-ui-lines)

# korvel_add_translations(target): target's texts are extracted into the
# catalogues, and the compiled translations are compiled into target.
function(korvel_add_translations target)
  get_target_property(own_sources ${target} SOURCES)
  file(GLOB shown_sources ${PROJECT_SOURCE_DIR}/engine/*.cpp ${PROJECT_SOURCE_DIR}/engine/*.h
    ${PROJECT_SOURCE_DIR}/tasks/*.cpp ${PROJECT_SOURCE_DIR}/tasks/*.h)
  qt_add_lupdate(${target} TS_FILES ${KORVEL_TS_TEMPLATE} ${KORVEL_TS_FILES} SOURCES ${own_sources} ${shown_sources}
    OPTIONS ${KORVEL_LUPDATE_OPTIONS})
  qt_add_lrelease(${target} TS_FILES ${KORVEL_TS_FILES} QM_FILES_OUTPUT_VARIABLE qm_files
    OPTIONS -silent)
  qt_add_resources(${target} korvelcrypt_translations PREFIX /i18n BASE ${CMAKE_CURRENT_BINARY_DIR}
    FILES ${qm_files})
  if(NOT TARGET translations)
    add_custom_target(translations)
  endif()
  add_dependencies(translations ${target}_lupdate)
endfunction()
