// The user settings: how many files are decrypted at once (1, 2, 4 or 8
// threads), whether an encrypted source is deleted as soon as its decryption
// succeeds, and whether each plaintext gets its envelope's modification time.
// All persist in the per-user settings store ("Korvel"/"Crypt").
//
// A change of the thread count goes out through numThreadChanged() at once, a
// change of the keep-times box through keepTimesChanged(). The
// dialog registers its delete check box with the decrypt manager as the setting it
// asks whenever a task completes, so every manager, however often rebuilt, acts on
// the box's live state.
#pragma once

#include "ui_SettingsDialog.h"

#include <QDialog>
#include <QSettings>
#include <QString>

template <typename T> class SingleInstance;

class SettingsDialog : public QDialog, public Ui::SettingsDialog {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SettingsDialog)

public:
    // The single dialog, constructed on the first call, which must come from the
    // main thread.
    static SettingsDialog* instance();
    // Deletes the single dialog; the next instance() builds a new one. Called by
    // the main window only, in the order it states.
    static void destroyInstance();

    // The current item's text of the thread combo box as a number (0 when none).
    int getNumThreads() const;
    // Whether the keep-times box is ticked.
    bool keepTimes() const;

signals:
    void numThreadChanged(int value);
    void keepTimesChanged(bool keep);

public slots:
    // Saves the current state, then shows the dialog (not a blocking exec()).
    void show();
    void onNumThreadsChanged(QString text);
    // Cancel: puts back the thread index and the flags of the last save or load.
    void rejected();
    void saveSettings();
    void loadSettings();

private:
    friend class SingleInstance<SettingsDialog>;
    SettingsDialog();
    ~SettingsDialog() override;

    int m_threadIndex = 0;
    bool m_deleteEncrypted = false;
    bool m_keepTimes = false;
    QSettings m_settings;
};
