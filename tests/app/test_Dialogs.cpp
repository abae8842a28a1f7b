// The about, busy and reload-failed dialogs: forms, flags, the version text and
// the busy dialog's cancel paths.
#include "app/AboutWindow.h"
#include "app/BusyDialog.h"
#include "app/ReloadFailedDialog.h"

#include <QMovie>
#include <QSignalSpy>
#include <QtTest>

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
        QCOMPARE(int(about->windowFlags()), 0x3101);
        QCOMPARE(about->size(), QSize(186, 164));
        QVERIFY(!about->windowIcon().isNull());
        about->show();
        QVERIFY(about->isVisible());
        QTest::mouseClick(about->findChild<QPushButton*>("_okButton"), Qt::LeftButton);
        QVERIFY(!about->isVisible());
        AboutWindow::destroyInstance();
    }

    void busyDialogForm()
    {
        BusyDialog* busy = BusyDialog::instance();
        QCOMPARE(busy->windowTitle(), QStringLiteral("Processing"));
        QCOMPARE(int(busy->windowFlags()), 0x1901);
        QCOMPARE(busy->findChild<QLabel*>("_label")->text(), QStringLiteral("Processing..."));
        QCOMPARE(busy->findChild<QLabel*>("_animatedLbl")->movie(), busy->movie());
        QVERIFY(busy->movie()->isValid());
        QVERIFY(busy->movie()->frameCount() > 1);
        QCOMPARE(busy->movie()->state(), QMovie::Running);
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
        whenBusyShows([&](BusyDialog* dialog) {
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
        QCOMPARE(int(dialog->windowFlags()), 0x3101);
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
};

QTEST_MAIN(TestDialogs)
#include "test_Dialogs.moc"
