#include "app/BusyDialog.h"

#include "app/WindowIcon.h"
#include "engine/SingleInstance.h"

#include <QCloseEvent>
#include <QDebug>
#include <QMovie>

BusyDialog* BusyDialog::instance()
{
    return SingleInstance<BusyDialog>::get();
}

void BusyDialog::destroyInstance()
{
    SingleInstance<BusyDialog>::destroy();
}

BusyDialog::BusyDialog()
    : QDialog(nullptr)
{
    WindowIcon::ensureResources();
    setupUi(this);
    // The animation runs only while the dialog shows (showEvent, hideEvent): a
    // hidden one would wake an idle program a dozen times a second.
    _movie = new QMovie(QStringLiteral(":/crypt/loaderAnimated.gif"));
    _animatedLbl->setMovie(_movie);
    _movie->jumpToFrame(0);
    connect(_cancelBtn, &QPushButton::clicked, this, &BusyDialog::onCancel);
    connect(this, &QDialog::rejected, this, &BusyDialog::onCancel);
    setWindowIcon(WindowIcon::icon());
    // A dialog, so that it can be transient for the main window (see AboutWindow).
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::FramelessWindowHint | Qt::WindowTitleHint);
    setWindowTitle(tr("Processing"));
}

BusyDialog::~BusyDialog()
{
    delete _movie;
}

int BusyDialog::exec(const QString& msg, bool showCancel)
{
    _label->setText(msg);
    _cancelBtn->setVisible(showCancel);
    return QDialog::exec();
}

int BusyDialog::exec(const QString& msg)
{
    return exec(msg, true);
}

void BusyDialog::onCancel()
{
    hide();
    emit cancelled();
}

void BusyDialog::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    _movie->start();
}

void BusyDialog::hideEvent(QHideEvent* event)
{
    _movie->stop();
    QDialog::hideEvent(event);
}

void BusyDialog::closeEvent(QCloseEvent* event)
{
    qDebug() << "close event";
    QDialog::closeEvent(event);
}
