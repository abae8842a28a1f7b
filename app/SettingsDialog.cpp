#include "app/SettingsDialog.h"

#include "engine/DecryptManager.h"
#include "engine/SingleInstance.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QIcon>
#include <QOperatingSystemVersion>
#include <QPointer>

namespace {

const QString kDeleteEncryptedKey = QStringLiteral("settings/deleteEncrypted");
const QString kThreadIndexKey = QStringLiteral("settings/threadIndex");
const QString kKeepTimesKey = QStringLiteral("settings/keepTimes");

bool isWindows7()
{
    const auto current = QOperatingSystemVersion::current();
    return current.type() == QOperatingSystemVersion::Windows && current.majorVersion() == 6
        && current.minorVersion() == 1;
}

} // namespace

SettingsDialog* SettingsDialog::instance()
{
    return SingleInstance<SettingsDialog>::get();
}

void SettingsDialog::destroyInstance()
{
    SingleInstance<SettingsDialog>::destroy();
}

SettingsDialog::SettingsDialog()
    : QDialog(nullptr)
{
    setupUi(this);
    setModal(true);
    setWindowIcon(
        QIcon(isWindows7() ? QStringLiteral(":/crypt/CryptIcon48.png") : QStringLiteral(":/crypt/crypt.png")));

    connect(buttonBox, &QDialogButtonBox::rejected, this, &SettingsDialog::rejected);
    connect(buttonBox, &QDialogButtonBox::accepted, this, &SettingsDialog::saveSettings);
    connect(_threadsCombo, &QComboBox::currentTextChanged, this, &SettingsDialog::onNumThreadsChanged);
    connect(_keepTimesCheck, &QCheckBox::toggled, this, &SettingsDialog::keepTimesChanged);
    // The engine knows no widget: it is handed a question that reads the box.
    DecryptManager::setDeleteEncryptedSetting(
        [box = QPointer<QCheckBox>(_deleteEncryptedCheck)] { return box && box->isChecked(); });

    loadSettings();
}

SettingsDialog::~SettingsDialog()
{
    DecryptManager::setDeleteEncryptedSetting({});
}

int SettingsDialog::getNumThreads() const
{
    return _threadsCombo->currentText().toInt();
}

bool SettingsDialog::keepTimes() const
{
    return _keepTimesCheck->isChecked();
}

void SettingsDialog::show()
{
    saveSettings();
    // From the keyboard: the first control has the focus (not OK, which Space
    // would press), and Tab goes on in reading order (the form's tab stops).
    _deleteEncryptedCheck->setFocus(Qt::OtherFocusReason);
    QWidget::show();
}

void SettingsDialog::onNumThreadsChanged(QString text)
{
    emit numThreadChanged(text.toInt());
}

void SettingsDialog::rejected()
{
    _threadsCombo->setCurrentIndex(m_threadIndex);
    _deleteEncryptedCheck->setChecked(m_deleteEncrypted);
    _keepTimesCheck->setChecked(m_keepTimes);
}

void SettingsDialog::saveSettings()
{
    m_deleteEncrypted = _deleteEncryptedCheck->isChecked();
    m_threadIndex = _threadsCombo->currentIndex();
    m_keepTimes = _keepTimesCheck->isChecked();
    m_settings.setValue(kDeleteEncryptedKey, m_deleteEncrypted);
    m_settings.setValue(kThreadIndexKey, m_threadIndex);
    m_settings.setValue(kKeepTimesKey, m_keepTimes);
}

void SettingsDialog::loadSettings()
{
    if (m_settings.contains(kDeleteEncryptedKey))
        _deleteEncryptedCheck->setChecked(m_settings.value(kDeleteEncryptedKey).toBool());
    m_deleteEncrypted = _deleteEncryptedCheck->isChecked();
    if (m_settings.contains(kThreadIndexKey))
        _threadsCombo->setCurrentIndex(m_settings.value(kThreadIndexKey).toInt());
    m_threadIndex = _threadsCombo->currentIndex();
    if (m_settings.contains(kKeepTimesKey))
        _keepTimesCheck->setChecked(m_settings.value(kKeepTimesKey).toBool());
    m_keepTimes = _keepTimesCheck->isChecked();
}
