#pragma once

#include <QLocale>
#include <QString>
#include <QStringList>
#include <QTranslator>

// The window's texts in the user's language. While an instance lives, the
// application speaks the first of the locale's languages that it has a
// catalogue for (compiled in under :/i18n/), with the toolkit's own catalogue
// of that language for the standard buttons. English, the language the texts
// are written in, needs no catalogue: a locale that puts English first, or the
// "C" locale, keeps the texts exactly as written. The command-line tool never
// loads a catalogue.
class Translations {
    Q_DISABLE_COPY_MOVE(Translations)

public:
    explicit Translations(const QLocale& locale);
    // The same for a list of languages in order of preference ("de-AT", "de").
    explicit Translations(const QStringList& uiLanguages);
    ~Translations();

    // The language whose catalogue is installed ("de"), or empty when the
    // texts stay English.
    QString language() const { return m_language; }

    // Where the application's catalogues are: korvelcrypt_<language>.qm.
    static QString catalogueFolder();

private:
    QTranslator m_application;
    QTranslator m_toolkit;
    QString m_language;
    bool m_toolkitInstalled = false;
};
