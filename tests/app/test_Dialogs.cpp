// The about, busy and reload-failed dialogs: forms, flags, the version text and
// the busy dialog's cancel paths; the compiled-in images at both scales; and
// the window's languages.
#include "app/AboutWindow.h"
#include "app/BusyDialog.h"
#include "app/ElidedLabel.h"
#include "app/MainWindow.h"
#include "app/ReloadFailedDialog.h"
#include "app/ResourceImage.h"
#include "app/SettingsDialog.h"
#include "app/Translations.h"
#include "app/WindowIcon.h"
#include "engine/CryptTask.h"
#include "engine/FileLoading.h"
#include "tasks/ClearStatusTask.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFile>
#include <QImageReader>
#include <QMenu>
#include <QMovie>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTableWidget>
#include <QXmlStreamReader>
#include <QtTest>

#include <memory>

namespace {

// One message of a Qt Linguist catalogue.
struct CatalogueEntry {
    QString context;
    QString source;
    QString translation;
    QString type; // "unfinished", "vanished", "obsolete" or empty when done
};

QList<CatalogueEntry> readCatalogue(const QString& path, QString* language)
{
    QList<CatalogueEntry> entries;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return entries;
    }
    QXmlStreamReader xml(&file);
    QString context;
    CatalogueEntry entry;
    while (!xml.atEnd()) {
        xml.readNext();
        if (!xml.isStartElement()) {
            continue;
        }
        if (xml.name() == QLatin1String("TS")) {
            *language = xml.attributes().value(QLatin1String("language")).toString();
        } else if (xml.name() == QLatin1String("name")) {
            context = xml.readElementText();
        } else if (xml.name() == QLatin1String("message")) {
            entry = CatalogueEntry { context, {}, {}, {} };
        } else if (xml.name() == QLatin1String("source")) {
            entry.source = xml.readElementText();
        } else if (xml.name() == QLatin1String("translation")) {
            entry.type = xml.attributes().value(QLatin1String("type")).toString();
            entry.translation = xml.readElementText();
            entries << entry;
        }
    }
    return xml.hasError() ? QList<CatalogueEntry>() : entries;
}

QStringList placeholders(const QString& text)
{
    QStringList found;
    static const QRegularExpression marker(QStringLiteral("%\\d+"));
    for (const auto& match : marker.globalMatch(text)) {
        found << match.captured();
    }
    found.sort();
    return found;
}

} // namespace

class TestDialogs : public QObject {
    Q_OBJECT

private:
    // Runs check once the busy dialog shows, from inside its exec().
    template <typename Check> void whenBusyShows(Check check)
    {
        QTimer::singleShot(0, this, [check] {
            QTRY_VERIFY(BusyDialog::instance()->isVisible());
            check(BusyDialog::instance());
        });
    }

private slots:
    void displayVersion_data()
    {
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("shown");
        QTest::newRow("build number cut") << "1.1.0.37433"
                                          << "1.1.0";
        QTest::newRow("no dot") << "110"
                                << "110";
        QTest::newRow("only dot first") << ".5"
                                        << ".5";
        QTest::newRow("dot at index 1") << "1.2"
                                        << "1";
        QTest::newRow("empty") << ""
                               << "";
    }

    void displayVersion()
    {
        QFETCH(QString, version);
        QFETCH(QString, shown);
        QCOMPARE(AboutWindow::displayVersion(version), shown);
    }

    void aboutWindow()
    {
        AboutWindow* about = AboutWindow::instance();
        QCOMPARE(AboutWindow::instance(), about);
        QCOMPARE(about->findChild<QLabel*>("versionLbl")->text(), QStringLiteral("1.1.0"));
        QCOMPARE(about->findChild<QLabel*>("label")->text(), QStringLiteral("Korvel Crypt"));
        QVERIFY(!about->findChild<QLabel*>("label_2")->pixmap().isNull());
        QCOMPARE(about->windowTitle(), QStringLiteral("About"));
        // The title bar and fixed-size hints, as a dialog (type bit 0x2) that can be transient for the window.
        QCOMPARE(int(about->windowFlags()), 0x3103);
        // The form's size, or more where the texts need it.
        QVERIFY(about->width() >= 186 && about->height() >= 164);
        QVERIFY(!about->windowIcon().isNull());
        about->show();
        QVERIFY(about->isVisible());
        QTest::mouseClick(about->findChild<QPushButton*>("_okButton"), Qt::LeftButton);
        QVERIFY(!about->isVisible());
        AboutWindow::destroyInstance();
    }

    // At the desktop's font size, whatever it is, every label, check box and
    // button of the window and its dialogs shows its whole text: rendered at 9,
    // 11 and 14 pt, none is narrower than its text needs.
    void textsFitTheirWidgets_data()
    {
        QTest::addColumn<QString>("form");
        QTest::addColumn<int>("points");
        for (const char* form : { "window", "settings", "about", "busy", "reload" }) {
            for (const int points : { 9, 11, 14 }) {
                QTest::addRow("%s at %d pt", form, points) << QString::fromLatin1(form) << points;
            }
        }
    }

    void textsFitTheirWidgets()
    {
        QFETCH(QString, form);
        QFETCH(int, points);
        const QFont before = QApplication::font();
        QFont font = before;
        font.setPointSize(points);
        QApplication::setFont(font);
        const auto restore = qScopeGuard([&before] { QApplication::setFont(before); });
        std::unique_ptr<MainWindow> window;
        QWidget* shown = nullptr;
        if (form == QLatin1String("window")) {
            window = std::make_unique<MainWindow>();
            shown = window.get();
        } else if (form == QLatin1String("settings")) {
            SettingsDialog::destroyInstance();
            shown = SettingsDialog::instance();
        } else if (form == QLatin1String("about")) {
            AboutWindow::destroyInstance();
            shown = AboutWindow::instance();
        } else if (form == QLatin1String("busy")) {
            BusyDialog::destroyInstance();
            shown = BusyDialog::instance();
            BusyDialog::instance()->_label->setText(QStringLiteral("Deleting encrypted source files..."));
        } else {
            ReloadFailedDialog::destroyInstance();
            shown = ReloadFailedDialog::instance();
            ReloadFailedDialog::instance()->setMessage(
                QStringLiteral("%1 tasks have failed. Do you want to reload? ").arg(1000));
        }
        shown->show();
        QVERIFY(QTest::qWaitForWindowExposed(shown));
        QStringList cut;
        for (QWidget* widget : shown->findChildren<QWidget*>()) {
            QString text;
            if (auto* label = qobject_cast<QLabel*>(widget)) {
                // A wrapped text takes more lines; an elided one shows whole in its tooltip.
                if (!label->wordWrap() && !qobject_cast<ElidedLabel*>(label)) {
                    text = label->text();
                }
            } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
                text = button->text();
            }
            if (!text.isEmpty() && widget->isVisibleTo(shown) && widget->width() < widget->sizeHint().width()) {
                cut << QStringLiteral("%1 \"%2\": %3 of %4 pixels")
                           .arg(widget->objectName(), text)
                           .arg(widget->width())
                           .arg(widget->sizeHint().width());
            }
        }
        shown->hide();
        // The next tests get dialogs as they are built at the usual font.
        window.reset();
        SettingsDialog::destroyInstance();
        AboutWindow::destroyInstance();
        BusyDialog::destroyInstance();
        ReloadFailedDialog::destroyInstance();
        QCOMPARE(cut, QStringList {});
    }

    void busyDialogForm()
    {
        BusyDialog* busy = BusyDialog::instance();
        QCOMPARE(busy->windowTitle(), QStringLiteral("Processing"));
        QCOMPARE(int(busy->windowFlags()), 0x1903);
        QCOMPARE(busy->findChild<QLabel*>("_label")->text(), QStringLiteral("Processing..."));
        QCOMPARE(busy->findChild<QLabel*>("_animatedLbl")->movie(), busy->movie());
        QVERIFY(busy->movie()->isValid());
        QVERIFY(busy->movie()->frameCount() > 1);
        // Hidden, it does not animate (busyCancel checks it does while shown).
        QVERIFY(!busy->isVisible());
        QCOMPARE(busy->movie()->state(), QMovie::NotRunning);
    }

    void busyCancel_data()
    {
        QTest::addColumn<bool>("showCancel");
        QTest::addColumn<QString>("how");
        QTest::newRow("cancel button") << true << "button";
        QTest::newRow("escape with button") << true << "escape";
        QTest::newRow("escape without button") << false << "escape";
        QTest::newRow("close request") << false << "close";
    }

    void busyCancel()
    {
        QFETCH(bool, showCancel);
        QFETCH(QString, how);
        BusyDialog* busy = BusyDialog::instance();
        QSignalSpy cancelled(busy, &BusyDialog::cancelled);
        bool buttonShown = !showCancel;
        QString text;
        QMovie::MovieState whileShown = QMovie::NotRunning;
        whenBusyShows([&](BusyDialog* dialog) {
            whileShown = dialog->movie()->state();
            auto* button = dialog->findChild<QPushButton*>("_cancelBtn");
            buttonShown = button->isVisible();
            text = dialog->findChild<QLabel*>("_label")->text();
            if (how == "button") {
                QTest::mouseClick(button, Qt::LeftButton);
            } else if (how == "escape") {
                QTest::keyClick(dialog, Qt::Key_Escape);
            } else {
                dialog->close();
            }
        });
        busy->exec(QStringLiteral("Loading files..."), showCancel);
        QCOMPARE(text, QStringLiteral("Loading files..."));
        QCOMPARE(buttonShown, showCancel);
        QVERIFY(!busy->isVisible());
        QVERIFY(cancelled.size() >= 1);
        // The animation runs while the dialog shows, and only then.
        QCOMPARE(whileShown, QMovie::Running);
        QCOMPARE(busy->movie()->state(), QMovie::NotRunning);
    }

    // The count under the message: asked while the dialog shows (the window asks
    // at its own pace; here each ask is made by hand) and once more as it hides.
    void busyCount_data()
    {
        QTest::addColumn<QList<qint64>>("answers"); // while it shows; the last as it hides
        QTest::addColumn<QStringList>("shown"); // empty: no count shown
        QTest::newRow("a load") << QList<qint64> { 0, 12, 200000,
            200001 } << QStringList { "0 files found", "12 files found", "200000 files found", "200001 files found" };
        QTest::newRow("no load") << QList<qint64> { -1, -1 } << QStringList { "", "" };
    }

    void busyCount()
    {
        QFETCH(QList<qint64>, answers);
        QFETCH(QStringList, shown);
        BusyDialog* busy = BusyDialog::instance();
        auto* label = busy->findChild<QLabel*>("_countLbl");
        qint64 answer = -1;
        busy->setCountSource([&answer] { return answer; });
        const auto seen = [&] { return label->isVisibleTo(busy) ? label->text() : QString(); };
        QStringList texts;
        whenBusyShows([&](BusyDialog* dialog) {
            for (qsizetype i = 0; i + 1 < answers.size(); ++i) {
                answer = answers.at(i);
                dialog->updateCount();
                texts.append(seen());
            }
            answer = answers.last();
            dialog->accept();
        });
        busy->exec(QStringLiteral("Loading files..."), true);
        texts.append(seen());
        busy->setCountSource({});
        QCOMPARE(texts, shown);
    }

    void busyAcceptDoesNotCancel()
    {
        BusyDialog* busy = BusyDialog::instance();
        QSignalSpy cancelled(busy, &BusyDialog::cancelled);
        // accept() posted before exec() opens: the dialog opens and closes at once.
        QMetaObject::invokeMethod(
            busy, "exec", Qt::QueuedConnection, Q_ARG(QString, "Reloading failed tasks..."), Q_ARG(bool, true));
        QMetaObject::invokeMethod(busy, &QDialog::accept, Qt::QueuedConnection);
        QTRY_COMPARE(busy->findChild<QLabel*>("_label")->text(), QStringLiteral("Reloading failed tasks..."));
        QTRY_VERIFY(!busy->isVisible());
        QCOMPARE(busy->result(), int(QDialog::Accepted));
        QCOMPARE(cancelled.size(), 0);
    }

    void reloadFailedDialog_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<int>("result");
        QTest::newRow("ok") << "ok" << int(QDialog::Accepted);
        QTest::newRow("cancel") << "cancel" << int(QDialog::Rejected);
        QTest::newRow("escape") << "escape" << int(QDialog::Rejected);
        QTest::newRow("close") << "close" << int(QDialog::Rejected);
    }

    void reloadFailedDialog()
    {
        QFETCH(QString, how);
        QFETCH(int, result);
        ReloadFailedDialog* dialog = ReloadFailedDialog::instance();
        QCOMPARE(dialog->windowTitle(), QStringLiteral("Reload Failed Tasks"));
        QCOMPARE(int(dialog->windowFlags()), 0x3103);
        QVERIFY(dialog->isModal());
        dialog->setMessage(QStringLiteral("3 tasks have failed. Do you want to reload? "));
        QCOMPARE(dialog->findChild<QLabel*>("_message")->text(),
            QStringLiteral("3 tasks have failed. Do you want to reload? "));
        QTimer::singleShot(0, this, [dialog, how] {
            QTRY_VERIFY(dialog->isVisible());
            auto* box = dialog->findChild<QDialogButtonBox*>("_buttonBox");
            if (how == "ok") {
                QTest::mouseClick(box->button(QDialogButtonBox::Ok), Qt::LeftButton);
            } else if (how == "cancel") {
                QTest::mouseClick(box->button(QDialogButtonBox::Cancel), Qt::LeftButton);
            } else if (how == "escape") {
                QTest::keyClick(dialog, Qt::Key_Escape);
            } else {
                dialog->close();
            }
        });
        QCOMPARE(dialog->exec(), result);
    }

    // Every image the window may name, as the build renders it from its drawing.
    void compiledInImages_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QSize>("size");
        const QList<QPair<const char*, int>> squares = { { "crypt.png", 64 }, { "CryptIcon48.png", 48 },
            { "key32.png", 32 }, { "key48.png", 48 }, { "key64.png", 64 }, { "lock_open48.png", 48 },
            { "openfiles64.png", 64 }, { "openfolder64.png", 64 }, { "cleanList64.png", 64 }, { "cleanDone64.png", 64 },
            { "cleanFailed64.png", 64 }, { "cleanWaiting64.png", 64 }, { "deletelocked48.png", 48 },
            { "deletelocked.png", 32 }, { "settings32.png", 32 }, { "decrypt128.png", 128 }, { "eye40.png", 40 },
            { "shell-windows.png", 48 }, { "keyhole64.png", 64 } };
        for (const auto& [name, side] : squares) {
            QTest::newRow(name) << QString::fromLatin1(name) << QSize(side, side);
        }
        QTest::newRow("drophere.png") << "drophere.png" << QSize(256, 160);
    }

    void compiledInImages()
    {
        QFETCH(QString, name);
        QFETCH(QSize, size);
        WindowIcon::ensureResources();
        const QString path = QStringLiteral(":/crypt/") + name;
        const QImage image(path);
        QVERIFY2(!image.isNull(), qPrintable(path));
        QCOMPARE(image.size(), size);
        QVERIFY(image.hasAlphaChannel());
        // Drawn, not blank: some pixels are transparent and some opaque.
        const QImage argb = image.convertToFormat(QImage::Format_ARGB32);
        int opaque = 0;
        for (int y = 0; y < argb.height(); ++y) {
            for (int x = 0; x < argb.width(); ++x) {
                opaque += qAlpha(argb.pixel(x, y)) == 255 ? 1 : 0;
            }
        }
        QVERIFY2(opaque > 0 && opaque < argb.width() * argb.height(), qPrintable(QString::number(opaque)));

        // The twin for screens at 200% is the drawing at twice the size, and
        // it is what a label gets there.
        const QString twin = ResourceImage::twinPath(path);
        QCOMPARE(twin, QStringLiteral(":/crypt/") + QFileInfo(name).completeBaseName() + QStringLiteral("@2x.png"));
        const QImage twice(twin);
        QCOMPARE(twice.size(), size * 2);
        const QPixmap sharp = ResourceImage::pixmap(path, 2.0);
        QCOMPARE(sharp.devicePixelRatio(), 2.0);
        QCOMPARE(sharp.size(), size * 2);
        // Pixmaps keep premultiplied pixels: compare in that form.
        QCOMPARE(sharp.toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied),
            twice.convertToFormat(QImage::Format_ARGB32_Premultiplied));
        const QPixmap plain = ResourceImage::pixmap(path, 1.0);
        QCOMPARE(plain.devicePixelRatio(), 1.0);
        QCOMPARE(plain.toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied),
            image.convertToFormat(QImage::Format_ARGB32_Premultiplied));
        // At 150% the twin is scaled down, not the image up.
        const QPixmap between = ResourceImage::pixmap(path, 1.5);
        QCOMPARE(between.devicePixelRatio(), 1.5);
        QCOMPARE(between.size(), (QSizeF(size) * 1.5).toSize());
    }

    void keyTwinIsTheLargerKey()
    {
        WindowIcon::ensureResources();
        // Both are the key drawing rendered at 64 pixels; the twin says it is
        // meant for twice the scale.
        QImage twin(QStringLiteral(":/crypt/key32@2x.png"));
        QCOMPARE(twin.devicePixelRatio(), 2.0);
        twin.setDevicePixelRatio(1.0);
        QCOMPARE(twin, QImage(QStringLiteral(":/crypt/key64.png")));
    }

    void iconFileHoldsEverySize()
    {
        WindowIcon::ensureResources();
        QImageReader reader(QStringLiteral(":/crypt/CryptIcon.ico"));
        QVERIFY2(reader.canRead(), qPrintable(reader.errorString()));
        QList<int> sizes;
        for (int i = 0; i < reader.imageCount(); ++i) {
            QVERIFY(reader.jumpToImage(i));
            const QImage image = reader.read();
            QVERIFY2(!image.isNull(), qPrintable(reader.errorString()));
            QCOMPARE(image.width(), image.height());
            QVERIFY(image.hasAlphaChannel());
            sizes << image.width();
        }
        std::sort(sizes.begin(), sizes.end());
        QCOMPARE(sizes, (QList<int> { 16, 24, 32, 48, 64, 128, 256 }));
    }

    void loaderAnimation()
    {
        WindowIcon::ensureResources();
        QImageReader reader(QStringLiteral(":/crypt/loaderAnimated.gif"));
        QVERIFY2(reader.canRead(), qPrintable(reader.errorString()));
        QVERIFY(reader.supportsAnimation());
        QCOMPARE(reader.imageCount(), 12);
        QCOMPARE(reader.loopCount(), -1); // for ever
        QList<QImage> frames;
        for (int i = 0; i < 12; ++i) {
            const QImage frame = reader.read();
            QVERIFY2(!frame.isNull(), qPrintable(reader.errorString()));
            // The delay the file stores for the frame just read, in ms.
            QCOMPARE(reader.nextImageDelay(), 80);
            QCOMPARE(frame.size(), QSize(220, 20));
            QVERIFY(frame.hasAlphaChannel());
            frames << frame;
        }
        // The pulse moves: no two frames in a row are the same.
        for (int i = 1; i < frames.size(); ++i) {
            QVERIFY2(frames[i] != frames[i - 1], qPrintable(QString::number(i)));
        }
    }

    // The window, its dialogs and menus in the language of the locale: German
    // where the locale asks for it, and otherwise exactly the texts as written.
    void languages_data()
    {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QString>("language");
        QTest::newRow("C") << "C"
                           << "";
        QTest::newRow("en_US") << "en_US"
                               << "";
        QTest::newRow("en_GB") << "en_GB"
                               << "";
        QTest::newRow("de_DE") << "de_DE"
                               << "de";
        QTest::newRow("de_AT") << "de_AT"
                               << "de";
        QTest::newRow("de_CH") << "de_CH"
                               << "de";
        // No catalogue for French: the texts stay as written.
        QTest::newRow("fr_FR") << "fr_FR"
                               << "";
    }

    void languages()
    {
        QFETCH(QString, locale);
        QFETCH(QString, language);
        const Translations translations { QLocale(locale) };
        QCOMPARE(translations.language(), language);
        const bool german = language == QLatin1String("de");
        const auto text = [german](const char* english, const char* deutsch) {
            return QString::fromUtf8(german ? deutsch : english);
        };

        // Built after the catalogue is in, as main() does.
        SettingsDialog::destroyInstance();
        MainWindow window;
        const auto action = [&window](const char* name) { return window.findChild<QAction*>(name); };
        QCOMPARE(window.windowTitle(), QStringLiteral("Korvel Crypt"));
        QCOMPARE(window.findChild<QCheckBox*>("_showPassCheck")->text(), text("Show passphrase", "Klartext zeigen"));
        QCOMPARE(window.findChild<QPushButton*>("_decryptBtn")->text(), text("Decrypt", "Entsperren"));
        auto* view = window.findChild<QComboBox*>("_viewComboBox");
        QCOMPARE(view->itemText(0), text("Latest", "Neueste"));
        QCOMPARE(view->itemText(2), text("Failed", "Fehlerhafte"));
        // The menus' titles with their access keys (Alt+letter).
        QCOMPARE(window.findChild<QMenu*>("menuFile")->title(), text("F&ile", "Da&tei"));
        QCOMPARE(window.findChild<QMenu*>("menuCommands")->title(), text("O&ptions", "O&ptionen"));
        QCOMPARE(window.findChild<QMenu*>("menuAbout")->title(), text("&About", "&Info"));
        // In every language each menu has its own access key, and none is an action's shortcut.
        QList<QKeySequence> keys;
        for (const QMenu* menu : window.findChildren<QMenu*>()) {
            const QKeySequence key = QKeySequence::mnemonic(menu->title());
            QVERIFY2(!key.isEmpty() && !keys.contains(key), qPrintable(menu->title()));
            keys << key;
            for (const QAction* each : window.findChildren<QAction*>()) {
                QVERIFY2(!each->shortcuts().contains(key), qPrintable(each->objectName()));
            }
        }
        QCOMPARE(keys.size(), 3);
        QCOMPARE(action("actionOpenFiles")->text(), text("Open Files...", "Dateien öffnen..."));
        QCOMPARE(action("actionOpenFiles")->toolTip(),
            text("Select file(s) to decrypt ", "Datei(en) zum Entschlüsseln auswählen "));
        QCOMPARE(action("actionOpenFiles")->shortcut(), QKeySequence(QStringLiteral("Alt+O")));
        QCOMPARE(action("actionExit")->text(), text("Exit", "Beenden"));
        QCOMPARE(action("actionClearAll")->text(), text("Clear All", "Alle entfernen"));
        QCOMPARE(action("actionClearAll")->shortcut(), QKeySequence(QStringLiteral("Alt+5")));
        QCOMPARE(action("actionDecryptNextToFiles")->text(),
            text("Decrypt next to each file", "Neben jeder Datei entschlüsseln"));
        QCOMPARE(action("actionDecryptIntoFolder")->text(),
            text("Decrypt into folder...", "In einen Ordner entschlüsseln..."));
        QCOMPARE(action("actionDecryptIntoFolder")->toolTip(),
            text("Writes every plaintext below a folder of your choice",
                "Schreibt alle Klartexte in einen Ordner Ihrer Wahl"));
        QCOMPARE(action("actionAbout")->text(), text("About...", "Über Korvel Crypt..."));
        QCOMPARE(window.findChild<QTableWidget*>("_messagesTbl")->horizontalHeaderItem(0)->text(),
            text("filename", "Dateiname"));
        QCOMPARE(window.findChild<QLabel*>("_statusLbl")->text(),
            text("   Drag files and folders to start decrypting...",
                "   Dateien und Ordner hierher ziehen, um mit dem Entschlüsseln zu beginnen..."));

        SettingsDialog* settings = SettingsDialog::instance();
        QCOMPARE(settings->windowTitle(), text("Settings", "Einstellungen"));
        QCOMPARE(settings->findChild<QCheckBox*>("_deleteEncryptedCheck")->text(),
            text("Delete encrypted files when finished", "Verschlüsselte Datei nach Erfolg löschen"));
        // The standard buttons come from the toolkit's own catalogue.
        QCOMPARE(settings->findChild<QDialogButtonBox*>("buttonBox")->button(QDialogButtonBox::Cancel)->text(),
            text("Cancel", "Abbrechen"));

        AboutWindow::destroyInstance();
        AboutWindow* about = AboutWindow::instance();
        QCOMPARE(about->windowTitle(), text("About", "Über"));
        // Wide enough for its title beside the title bar's icon and buttons.
        QVERIFY(about->width() >= about->fontMetrics().horizontalAdvance(about->windowTitle()) + 100);
        QCOMPARE(about->findChild<QLabel*>("versionLbl")->text(), QStringLiteral("1.1.0"));
        AboutWindow::destroyInstance();

        // The busy and reload dialogs live for the whole run; their texts are
        // looked up the same way when they are built.
        QCOMPARE(
            QCoreApplication::translate("BusyDialog", "Processing..."), text("Processing...", "Wird verarbeitet..."));
        QCOMPARE(QCoreApplication::translate("BusyDialog", "Cancel"), text("Cancel", "Abbrechen"));
        QCOMPARE(
            QCoreApplication::translate("BusyDialog", "%1 files found"), text("%1 files found", "%1 Dateien gefunden"));
        QCOMPARE(QCoreApplication::translate("ReloadFailedDialog", "Reload Failed Tasks"),
            text("Reload Failed Tasks", "Fehlgeschlagene Aufgaben"));
        QCOMPARE(QCoreApplication::translate("MainWindow", "%1 finished, %2 failed, %3 pending, %4 total"),
            text("%1 finished, %2 failed, %3 pending, %4 total",
                "%1 fertig, %2 fehlgeschlagen, %3 wartend, %4 insgesamt"));

        // The texts the engine and the background tasks make, which the table,
        // the status line and the busy dialog show.
        CryptTask task(QStringLiteral("/in/a.korvel-env"));
        task.setStatus(Task::FINISHED);
        QCOMPARE(task.statusText(), text("Finished", "Fertig"));
        task.setStatus(Task::CANCELLED);
        QCOMPARE(task.statusText(), text("Cancelled", "Abgebrochen"));
        FileLoading::Result loaded;
        loaded.inputs = 2;
        FileLoading::Group found;
        found.files = QStringList { "/a", "/b", "/c" };
        loaded.groups.append(found);
        loaded.added = 3;
        QCOMPARE(loaded.summary(), text("3 files loaded successfully.", "3 Dateien erfolgreich geladen."));
        loaded.notEnvelopes = 4;
        QCOMPARE(loaded.summary(),
            text("3 files loaded. 4 files that are not envelopes skipped.",
                "3 Dateien geladen. 4 Dateien ohne Umschlag übersprungen."));
        QCOMPARE(QCoreApplication::translate("TaskManager", "Loading files..."),
            text("Loading files...", "Dateien werden geladen..."));
        QCOMPARE(QCoreApplication::translate("ReloadFailedTask", "Failed Tasks reloaded."),
            text("Failed Tasks reloaded.", "Fehlgeschlagene Aufgaben neu geladen."));
        QCOMPARE(ClearStatusTask(Task::FINISHED).announcement(),
            text("Clearing finished tasks...", "Erledigte Aufgaben werden entfernt..."));
    }

    void languagesEndWithTheTranslations()
    {
        {
            const Translations translations { QLocale(QStringLiteral("de_DE")) };
            QCOMPARE(QCoreApplication::translate("MainWindow", "Exit"), QStringLiteral("Beenden"));
        }
        QCOMPARE(QCoreApplication::translate("MainWindow", "Exit"), QStringLiteral("Exit"));
    }

    void languagePreferences_data()
    {
        QTest::addColumn<QStringList>("preferred");
        QTest::addColumn<QString>("language");
        QTest::newRow("German") << QStringList { "de-DE", "de" } << "de";
        QTest::newRow("French, then German") << QStringList { "fr-FR", "fr", "de-DE" } << "de";
        // English, the language of the texts, ends the search.
        QTest::newRow("English, then German") << QStringList { "en-US", "en", "de-DE" } << "";
        QTest::newRow("C, then German") << QStringList { "C", "de-DE" } << "";
        QTest::newRow("none we speak") << QStringList { "fr-FR", "ja-JP" } << "";
        QTest::newRow("nothing") << QStringList {} << "";
    }

    void languagePreferences()
    {
        QFETCH(QStringList, preferred);
        QFETCH(QString, language);
        const Translations translations(preferred);
        QCOMPARE(translations.language(), language);
        QCOMPARE(QCoreApplication::translate("SettingsDialog", "Settings"),
            language.isEmpty() ? QStringLiteral("Settings") : QStringLiteral("Einstellungen"));
    }

    // Each translation covers exactly the template's texts, every one of them
    // finished, with the same placeholders.
    void catalogues_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("language");
        QTest::newRow("German") << "korvelcrypt_de.ts"
                                << "de";
    }

    void catalogues()
    {
        QFETCH(QString, file);
        QFETCH(QString, language);
        const QString folder = QStringLiteral(KORVEL_TRANSLATIONS_DIR);
        QString templateLanguage;
        const QList<CatalogueEntry> texts
            = readCatalogue(folder + QStringLiteral("/korvelcrypt.ts"), &templateLanguage);
        QVERIFY(!texts.isEmpty());
        QVERIFY(templateLanguage.isEmpty());
        QString catalogueLanguage;
        const QList<CatalogueEntry> translated = readCatalogue(folder + QLatin1Char('/') + file, &catalogueLanguage);
        QCOMPARE(catalogueLanguage, language);

        QStringList wanted;
        for (const CatalogueEntry& entry : texts) {
            wanted << entry.context + QLatin1Char('|') + entry.source;
        }
        QStringList have;
        for (const CatalogueEntry& entry : translated) {
            const QString key = entry.context + QLatin1Char('|') + entry.source;
            have << key;
            QVERIFY2(entry.type.isEmpty(), qPrintable(key + QStringLiteral(": ") + entry.type));
            QVERIFY2(!entry.translation.isEmpty(), qPrintable(key));
            QCOMPARE(placeholders(entry.translation), placeholders(entry.source));
        }
        QCOMPARE(have, wanted);
    }
};

// Settings the dialogs save go to the test's own store, never the user's.
QTEST_MAIN_WRAPPER(TestDialogs, QStandardPaths::setTestModeEnabled(true); QTEST_MAIN_SETUP())
#include "test_Dialogs.moc"
