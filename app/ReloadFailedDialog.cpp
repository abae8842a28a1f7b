#include "app/ReloadFailedDialog.h"

#include "app/WindowIcon.h"
#include "engine/SingleInstance.h"

ReloadFailedDialog* ReloadFailedDialog::instance()
{
    return SingleInstance<ReloadFailedDialog>::get();
}

void ReloadFailedDialog::destroyInstance()
{
    SingleInstance<ReloadFailedDialog>::destroy();
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

ReloadFailedDialog::~ReloadFailedDialog() = default;

void ReloadFailedDialog::setMessage(const QString& message)
{
    _message->setText(message);
}
