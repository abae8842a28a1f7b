#pragma once

#include "ui_AboutWindow.h"

#include <QDialog>

template <typename T> class SingleInstance;

// The about box: program name, version and icon. One instance for the run,
// deleted by the main window when it goes.
class AboutWindow : public QDialog, public Ui::AboutWindow {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(AboutWindow)

public:
    // The single about box, constructed on the first call, which must come from the
    // main thread.
    static AboutWindow* instance();
    // Deletes the single about box; the next instance() builds a new one. Called by
    // the main window only, in the order it states.
    static void destroyInstance();

    // The full build version of this program, as the build stamps it.
    static QString fullVersion();
    // The version shown to users: the build number after the last "." is cut
    // off, unless that "." is the very first character.
    static QString displayVersion(const QString& version);

private:
    friend class SingleInstance<AboutWindow>;
    AboutWindow();
    ~AboutWindow() override;
};
