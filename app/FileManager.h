// Opens files and shows them in the desktop's file manager: a file opens in the
// application the desktop gives its type; "show in folder" asks the file
// manager (org.freedesktop.FileManager1.ShowItems on the session bus) to open
// the folder with the file selected, and where no file manager answers (no bus,
// no such service, an error), the folder itself is opened.
#pragma once

#include <QObject>
#include <QString>

class FileManager : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(FileManager)

public:
    static constexpr const char* Service = "org.freedesktop.FileManager1";
    static constexpr const char* Path = "/org/freedesktop/FileManager1";
    static constexpr const char* Interface = "org.freedesktop.FileManager1";

    explicit FileManager(QObject* parent = nullptr);

    // Through the desktop's handler for the file's type; false when none took it.
    static bool open(const QString& path);

public slots:
    // The folder of path with path selected; never waits for the file manager.
    void showInFolder(const QString& path);
};
