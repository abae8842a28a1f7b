#include "app/TransientDialogs.h"

#include <QEvent>
#include <QWindow>

TransientDialogs::TransientDialogs(QWidget* owner)
    : QObject(owner)
    , m_owner(owner)
{
    if (owner) {
        owner->window()->installEventFilter(this);
    }
}

void TransientDialogs::add(QWidget* dialog)
{
    if (dialog) {
        // Installing the same filter twice keeps one.
        dialog->installEventFilter(this);
        if (!m_dialogs.contains(dialog)) {
            m_dialogs.append(dialog);
        }
    }
}

void TransientDialogs::placeOver(QWidget* dialog, const QWidget* owner)
{
    if (!dialog || !owner || !dialog->isWindow()) {
        return;
    }
    const QWidget* ownerWindow = owner->window();
    // The native windows exist once shown; the dialog's is created just before
    // its show event, in time for the window manager to see the hint.
    QWindow* window = dialog->windowHandle();
    if (window && ownerWindow->windowHandle() && window != ownerWindow->windowHandle()) {
        window->setTransientParent(ownerWindow->windowHandle());
    }
    if (ownerWindow->isVisible()) {
        const QPoint centre = ownerWindow->frameGeometry().center();
        const QSize size = dialog->frameGeometry().size();
        dialog->move(centre.x() - size.width() / 2, centre.y() - size.height() / 2);
    }
}

bool TransientDialogs::eventFilter(QObject* watched, QEvent* event)
{
    if (!m_owner) {
        return QObject::eventFilter(watched, event);
    }
    if (watched == m_owner->window() && (event->type() == QEvent::Move || event->type() == QEvent::Resize)) {
        for (const QPointer<QWidget>& dialog : std::as_const(m_dialogs)) {
            if (dialog && dialog->isVisible()) {
                placeOver(dialog, m_owner);
            }
        }
    } else if (event->type() == QEvent::Show && watched != m_owner->window() && watched->isWidgetType()) {
        placeOver(static_cast<QWidget*>(watched), m_owner);
    }
    return QObject::eventFilter(watched, event);
}
