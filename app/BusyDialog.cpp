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
    _countLbl->hide();
    m_countTimer.setInterval(CountIntervalMs);
    connect(&m_countTimer, &QTimer::timeout, this, &BusyDialog::updateCount);
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

void BusyDialog::setCountSource(std::function<qint64()> source)
{
    m_countSource = std::move(source);
    updateCount();
}

void BusyDialog::updateCount()
{
    const qint64 count = m_countSource ? m_countSource() : -1;
    if (count < 0) {
        _countLbl->hide();
        return;
    }
    _countLbl->setText(tr("%1 files found").arg(count));
    _countLbl->show();
}

void BusyDialog::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    _movie->start();
    updateCount();
    m_countTimer.start();
}

void BusyDialog::hideEvent(QHideEvent* event)
{
    _movie->stop();
    m_countTimer.stop();
    updateCount();
    QDialog::hideEvent(event);
}

void BusyDialog::closeEvent(QCloseEvent* event)
{
    qDebug() << "close event";
    QDialog::closeEvent(event);
}
