#pragma once

#include "ui_BusyDialog.h"

#include <QDialog>
#include <QTimer>

#include <functional>

class QMovie;
template <typename T> class SingleInstance;

// The modal box shown while a background task runs: a message, a running
// animation and, when the task can be interrupted, a Cancel button. One
// instance lives for the whole run; it is hidden between uses.
class BusyDialog : public QDialog, public Ui::BusyDialog {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(BusyDialog)

public:
    // The single dialog, constructed on the first call, which must come from the
    // main thread.
    static BusyDialog* instance();
    // Deletes the single dialog; the next instance() builds a new one. Called by
    // main() only, after the main window is gone.
    static void destroyInstance();

    using QDialog::exec;

    QMovie* movie() const { return _movie; }

    // Where the count under the message comes from while the dialog shows: how
    // many files the running load has found so far; a negative answer shows no
    // count. Asked every CountIntervalMs, never per file, and once more as the
    // dialog hides, so that it ends at the number found.
    void setCountSource(std::function<qint64()> source);
    static constexpr int CountIntervalMs = 200;

signals:
    void cancelled();

public slots:
    int exec(const QString& msg, bool showCancel);
    int exec(const QString& msg);
    void onCancel();
    // Shows the count source's answer now.
    void updateCount();

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    friend class SingleInstance<BusyDialog>;
    BusyDialog();
    ~BusyDialog() override;

    // Kept for the whole run; it runs only while the dialog shows.
    QMovie* _movie = nullptr;
    std::function<qint64()> m_countSource;
    QTimer m_countTimer;
};
