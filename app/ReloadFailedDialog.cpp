#include "app/ReloadFailedDialog.h"

#include "app/WindowIcon.h"

ReloadFailedDialog* ReloadFailedDialog::s_instance = nullptr;

ReloadFailedDialog* ReloadFailedDialog::instance()
{
    if (!s_instance) {
        s_instance = new ReloadFailedDialog();
    }
    return s_instance;
}

ReloadFailedDialog::ReloadFailedDialog()
    : QDialog(nullptr)
{
    WindowIcon::ensureResources();
    setupUi(this);
    setModal(true);
    setWindowIcon(WindowIcon::icon());
    // A dialog, so that it can be transient for the main window (see AboutWindow).
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint);
    setWindowTitle(tr("Reload Failed Tasks"));
}

ReloadFailedDialog::~ReloadFailedDialog()
{
    if (s_instance == this) {
        s_instance = nullptr;
    }
}

void ReloadFailedDialog::setMessage(const QString& message)
{
    _message->setText(message);
}
