#include "app/Translations.h"

#include <QCoreApplication>
#include <QLibraryInfo>

// Q_INIT_RESOURCE must be used outside any namespace.
static void registerCatalogues()
{
    Q_INIT_RESOURCE(korvelcrypt_translations);
}

QString Translations::catalogueFolder()
{
    return QStringLiteral(":/i18n");
}

Translations::Translations(const QLocale& locale)
    : Translations(locale.uiLanguages())
{ }

Translations::Translations(const QStringList& uiLanguages)
{
    static const bool registered = [] {
        registerCatalogues();
        return true;
    }();
    Q_UNUSED(registered);

    // The first language we speak wins; English ends the search.
    for (const QString& name : uiLanguages) {
        const QLocale language(name);
        if (language.language() == QLocale::English || language.language() == QLocale::C) {
            return;
        }
        // Tries korvelcrypt_de_AT.qm, then korvelcrypt_de.qm.
        if (m_application.load(QStringLiteral("korvelcrypt_") + language.name(), catalogueFolder())) {
            break;
        }
    }
    if (m_application.isEmpty()) {
        return;
    }
    m_language = m_application.language();
    QCoreApplication::installTranslator(&m_application);
    if (m_toolkit.load(QLocale(m_language), QStringLiteral("qtbase"), QStringLiteral("_"),
            QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        m_toolkitInstalled = QCoreApplication::installTranslator(&m_toolkit);
    }
}

Translations::~Translations()
{
    if (m_toolkitInstalled) {
        QCoreApplication::removeTranslator(&m_toolkit);
    }
    if (!m_language.isEmpty()) {
        QCoreApplication::removeTranslator(&m_application);
    }
}
