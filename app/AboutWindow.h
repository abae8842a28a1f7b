#pragma once

#include "ui_AboutWindow.h"

#include <QDialog>

// The about box: program name, version and icon. One instance for the run,
// deleted by the main window when it goes.
class AboutWindow : public QDialog, public Ui::AboutWindow {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(AboutWindow)

public:
    static AboutWindow* instance();
    // Deletes the instance, if any, so that the next instance() builds a new one.
    static void destroy();

    // The full build version of this program, as the build stamps it.
    static QString fullVersion();
    // The version shown to users: the build number after the last "." is cut
    // off, unless that "." is the very first character.
    static QString displayVersion(const QString& version);

private:
    AboutWindow();
    ~AboutWindow() override;

    static AboutWindow* s_instance;
};
