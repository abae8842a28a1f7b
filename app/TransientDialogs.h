// Keeps the application's dialogs with the window they belong to.
//
// The settings, about, busy and reload dialogs live for the whole run and have
// no parent widget, so nothing would tell the window manager whose dialogs they
// are: they could fall behind the window they block, and a dialog without a
// parent is centred on the screen. Each dialog added here becomes, whenever it
// is about to show, transient for the owner's window (WM_TRANSIENT_FOR on X11)
// and is centred over it; while it shows, it follows the window when that moves
// or changes size (a dialog opened as the program starts, before the window
// manager has placed the window, ends up over the window's final place). The
// dialogs' ownership does not change.
#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <QWidget>

class TransientDialogs : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TransientDialogs)

public:
    // A child of owner; the dialogs stop following it when it goes.
    explicit TransientDialogs(QWidget* owner);

    // Adding a dialog again changes nothing.
    void add(QWidget* dialog);

    // Makes dialog's window transient for owner's and centres the dialog over
    // owner (what happens at every showing of an added dialog).
    static void placeOver(QWidget* dialog, const QWidget* owner);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QPointer<QWidget> m_owner;
    QList<QPointer<QWidget>> m_dialogs;
};
