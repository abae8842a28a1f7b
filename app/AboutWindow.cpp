#include "app/AboutWindow.h"

#include "app/ResourceImage.h"
#include "app/WindowIcon.h"
#include "engine/SingleInstance.h"
#include "engine/Version.h"

AboutWindow* AboutWindow::instance()
{
    return SingleInstance<AboutWindow>::get();
}

void AboutWindow::destroyInstance()
{
    SingleInstance<AboutWindow>::destroy();
}

AboutWindow::AboutWindow()
    : QDialog(nullptr)
{
    WindowIcon::ensureResources();
    setupUi(this);
    ResourceImage::show(label_2, QStringLiteral(":/crypt/CryptIcon48.png"));
    setModal(true);
    connect(_okButton, &QPushButton::clicked, this, &QWidget::close);
    setWindowIcon(WindowIcon::icon());
    // A dialog, not a plain window: only a dialog is made transient for the main
    // window it shows over (WM_TRANSIENT_FOR on X11).
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint);
    setWindowTitle(tr("About"));
    versionLbl->setText(displayVersion(fullVersion()));
    // The title bar shows the whole title (in every language) beside the
    // window manager's icon and buttons.
    const int titleRoom = 120;
    const int needed = fontMetrics().horizontalAdvance(windowTitle()) + titleRoom;
    if (width() < needed) {
        resize(needed, height());
    }
}

AboutWindow::~AboutWindow() = default;

QString AboutWindow::fullVersion()
{
    return QStringLiteral(KORVEL_BUILD_VERSION);
}

QString AboutWindow::displayVersion(const QString& version)
{
    const qsizetype dot = version.lastIndexOf(QLatin1Char('.'));
    if (dot >= 1) {
        return version.left(dot);
    }
    return version;
}
