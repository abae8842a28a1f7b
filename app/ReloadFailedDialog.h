#pragma once

#include "ui_ReloadFailedDialog.h"

#include <QDialog>

template <typename T> class SingleInstance;

// The OK/Cancel question asked when a decryption run ends with failed tasks.
// One instance lives for the whole run; it is hidden between uses.
class ReloadFailedDialog : public QDialog, public Ui::ReloadFailedDialog {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ReloadFailedDialog)

public:
    // The single dialog, constructed on the first call, which must come from the
    // main thread.
    static ReloadFailedDialog* instance();
    // Deletes the single dialog; the next instance() builds a new one. Called by
    // main() only, after the main window is gone.
    static void destroyInstance();

    void setMessage(const QString& message);

private:
    friend class SingleInstance<ReloadFailedDialog>;
    ReloadFailedDialog();
    ~ReloadFailedDialog() override;
};
