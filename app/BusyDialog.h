#pragma once

#include "ui_BusyDialog.h"

#include <QDialog>

class QMovie;

// The modal box shown while a background task runs: a message, a running
// animation and, when the task can be interrupted, a Cancel button. One
// instance lives until the process ends; it is hidden between uses.
class BusyDialog : public QDialog, public Ui::BusyDialog {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(BusyDialog)

public:
    static BusyDialog* instance();

    using QDialog::exec;

    QMovie* movie() const { return _movie; }

signals:
    void cancelled();

public slots:
    int exec(const QString& msg, bool showCancel);
    int exec(const QString& msg);
    void onCancel();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    BusyDialog();
    ~BusyDialog() override;

    // Kept for the whole run, whether the dialog shows or not.
    QMovie* _movie = nullptr;

    static BusyDialog* s_instance;
};
