#pragma once

#include "ui_ReloadFailedDialog.h"

#include <QDialog>

// The OK/Cancel question asked when a decryption run ends with failed tasks.
// One instance lives until the process ends.
class ReloadFailedDialog : public QDialog, public Ui::ReloadFailedDialog {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ReloadFailedDialog)

public:
    static ReloadFailedDialog* instance();

    void setMessage(const QString& message);

private:
    ReloadFailedDialog();
    ~ReloadFailedDialog() override;

    static ReloadFailedDialog* s_instance;
};
