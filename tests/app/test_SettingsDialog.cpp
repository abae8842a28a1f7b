// The settings dialog: its form, the store it loads and saves, Cancel restoring
// the thread count, and the delete flag reaching the decrypt manager.
#include "app/SettingsDialog.h"
#include "engine/DecryptManager.h"
#include "tests/support/EnvelopeWriter.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

class TestSettingsDialog : public QObject {
    Q_OBJECT

private:
    static QSettings store() { return QSettings(); }

    static SettingsDialog* fresh()
    {
        SettingsDialog::destroyInstance();
        return SettingsDialog::instance();
    }

private slots:
    void initTestCase()
    {
        QCoreApplication::setOrganizationName(QStringLiteral("Korvel"));
        QCoreApplication::setApplicationName(QStringLiteral("Crypt"));
        const QString store = QSettings().fileName();
        QVERIFY2(store.startsWith(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation))
                && store.contains(QStringLiteral("/.qttest/")),
            qPrintable(store));
    }

    void init()
    {
        QSettings().clear();
        QSettings().sync();
    }

    void cleanup()
    {
        SettingsDialog::destroyInstance();
        DecryptManager::destroyInstance();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    // The controls stand in layouts, in reading order: the check box, then the
    // thread count with its label, then the buttons.
    void form_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("text");
        QTest::newRow("delete") << "_deleteEncryptedCheck"
                                << "Delete encrypted files when finished";
        QTest::newRow("keep times") << "_keepTimesCheck"
                                    << "Give decrypted files the modification time of their encrypted files";
        QTest::newRow("threads") << "_threadsCombo"
                                 << "";
        QTest::newRow("label") << "label"
                               << "Number of concurrent threads for decryption";
        QTest::newRow("buttons") << "buttonBox"
                                 << "";
    }

    void form()
    {
        QFETCH(QString, name);
        QFETCH(QString, text);
        SettingsDialog* dialog = SettingsDialog::instance();
        dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(dialog));
        auto* widget = dialog->findChild<QWidget*>(name);
        QVERIFY(widget);
        QVERIFY(dialog->layout());
        QVERIFY(dialog->rect().contains(widget->geometry()));
        if (auto* check = qobject_cast<QCheckBox*>(widget))
            QCOMPARE(check->text(), text);
        if (auto* label = qobject_cast<QLabel*>(widget))
            QCOMPARE(label->text(), text);
        // Below the control before it in reading order (or beside it, to its right).
        static const QStringList order { "_deleteEncryptedCheck", "_keepTimesCheck", "_threadsCombo", "label",
            "buttonBox" };
        const int at = int(order.indexOf(name));
        if (at > 0) {
            const QRect before = dialog->findChild<QWidget*>(order.at(at - 1))->geometry();
            QVERIFY(widget->geometry().top() >= before.bottom() || widget->geometry().left() >= before.right());
        }
        dialog->hide();
    }

    void dialogItself()
    {
        SettingsDialog* dialog = SettingsDialog::instance();
        QCOMPARE(dialog->objectName(), QStringLiteral("SettingsDialog"));
        QCOMPARE(dialog->windowTitle(), QStringLiteral("Settings"));
        // The form's size, or more where the texts need it.
        QVERIFY(dialog->width() >= 396 && dialog->height() >= 183);
        QVERIFY(dialog->isModal());
        QCOMPARE(dialog->buttonBox->standardButtons(), QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
        QCOMPARE(dialog->buttonBox->orientation(), Qt::Horizontal);
        QStringList items;
        for (int i = 0; i < dialog->_threadsCombo->count(); ++i)
            items.append(dialog->_threadsCombo->itemText(i));
        QCOMPARE(items, (QStringList { "1", "2", "4", "8" }));
        QCOMPARE(SettingsDialog::instance(), dialog);
    }

    void loadsTheStore_data()
    {
        QTest::addColumn<QVariant>("threadIndex");
        QTest::addColumn<QVariant>("deleteEncrypted");
        QTest::addColumn<int>("threads");
        QTest::addColumn<bool>("checked");
        QTest::addColumn<int>("managerThreads");
        QTest::addColumn<QVariant>("keepTimes"); // stored; the box and the manager follow it, else off
        QTest::newRow("empty store") << QVariant() << QVariant() << 1 << false << 1 << QVariant();
        QTest::newRow("eight threads") << QVariant(3) << QVariant(true) << 8 << true << 8 << QVariant();
        QTest::newRow("two threads") << QVariant(1) << QVariant(false) << 2 << false << 2 << QVariant(false);
        QTest::newRow("index out of range") << QVariant(7) << QVariant() << 0 << false << 1 << QVariant();
        QTest::newRow("keep times") << QVariant() << QVariant() << 1 << false << 1 << QVariant(true);
    }

    void loadsTheStore()
    {
        QFETCH(QVariant, threadIndex);
        QFETCH(QVariant, deleteEncrypted);
        QFETCH(int, threads);
        QFETCH(bool, checked);
        QFETCH(int, managerThreads);
        QFETCH(QVariant, keepTimes);
        {
            QSettings settings;
            if (keepTimes.isValid())
                settings.setValue(QStringLiteral("settings/keepTimes"), keepTimes);
            if (threadIndex.isValid())
                settings.setValue(QStringLiteral("settings/threadIndex"), threadIndex);
            if (deleteEncrypted.isValid())
                settings.setValue(QStringLiteral("settings/deleteEncrypted"), deleteEncrypted);
        }
        SettingsDialog* dialog = fresh();
        QCOMPARE(dialog->getNumThreads(), threads);
        QCOMPARE(dialog->_deleteEncryptedCheck->isChecked(), checked);
        // What the main window does at start-up.
        DecryptManager::instance()->onChangeNumThreads(dialog->getNumThreads());
        QCOMPARE(DecryptManager::instance()->getNumThreads(), managerThreads);
        QCOMPARE(DecryptManager::deleteEncryptedOnSuccess(), checked);
        QCOMPARE(dialog->keepTimes(), keepTimes.toBool());
        QCOMPARE(dialog->_keepTimesCheck->isChecked(), keepTimes.toBool());
        // Saved as loaded (the round trip).
        dialog->saveSettings();
        QCOMPARE(store().value(QStringLiteral("settings/keepTimes")).toBool(), keepTimes.toBool());
    }

    void okSavesAndShowSaves()
    {
        SettingsDialog* dialog = fresh();
        dialog->_threadsCombo->setCurrentIndex(2);
        dialog->_deleteEncryptedCheck->setChecked(true);
        QVERIFY(!store().contains(QStringLiteral("settings/threadIndex")));
        dialog->buttonBox->button(QDialogButtonBox::Ok)->click();
        QCOMPARE(store().value(QStringLiteral("settings/threadIndex")).toInt(), 2);
        QCOMPARE(store().value(QStringLiteral("settings/deleteEncrypted")).toBool(), true);
        QVERIFY(!dialog->isVisible());

        dialog->_threadsCombo->setCurrentIndex(1);
        dialog->show();
        QVERIFY(dialog->isVisible());
        QCOMPARE(store().value(QStringLiteral("settings/threadIndex")).toInt(), 1);
    }

    void cancelRestoresTheThreadCount()
    {
        store().setValue(QStringLiteral("settings/threadIndex"), 1);
        SettingsDialog* dialog = fresh();
        connect(
            dialog, &SettingsDialog::numThreadChanged, DecryptManager::instance(), &DecryptManager::onChangeNumThreads);
        QSignalSpy changed(dialog, &SettingsDialog::numThreadChanged);
        dialog->show();
        dialog->_threadsCombo->setCurrentIndex(2);
        dialog->_deleteEncryptedCheck->setChecked(true);
        QSignalSpy keepTimes(dialog, &SettingsDialog::keepTimesChanged);
        dialog->_keepTimesCheck->setChecked(true);
        QCOMPARE(changed.count(), 1);
        QCOMPARE(changed.at(0).at(0).toInt(), 4);
        QCOMPARE(DecryptManager::instance()->getNumThreads(), 4);
        QVERIFY(DecryptManager::deleteEncryptedOnSuccess());

        dialog->buttonBox->button(QDialogButtonBox::Cancel)->click();
        QVERIFY(!dialog->isVisible());
        QCOMPARE(dialog->_threadsCombo->currentIndex(), 1);
        QVERIFY(!dialog->_deleteEncryptedCheck->isChecked());
        QVERIFY(!dialog->keepTimes());
        // Ticked, then put back: each change went out at once.
        QCOMPARE(keepTimes.count(), 2);
        QCOMPARE(keepTimes.at(1).at(0).toBool(), false);
        QCOMPARE(changed.count(), 2);
        QCOMPARE(changed.at(1).at(0).toInt(), 2);
        QCOMPARE(DecryptManager::instance()->getNumThreads(), 2);
        QVERIFY(!DecryptManager::deleteEncryptedOnSuccess());
        QCOMPARE(store().value(QStringLiteral("settings/threadIndex")).toInt(), 1);
        QCOMPARE(store().value(QStringLiteral("settings/deleteEncrypted")).toBool(), false);
    }

    // Opened from the keyboard, the focus is on the first control, and Tab
    // (Shift+Tab back) follows reading order: top to bottom, then OK, Cancel.
    void keyboardOrder_data()
    {
        QTest::addColumn<int>("tabs"); // negative: Shift+Tab
        QTest::addColumn<QString>("focused");
        QTest::newRow("on opening") << 0 << "_deleteEncryptedCheck";
        QTest::newRow("Tab") << 1 << "_keepTimesCheck";
        QTest::newRow("Tab twice") << 2 << "_threadsCombo";
        QTest::newRow("Tab three times") << 3 << "OK";
        QTest::newRow("Tab four times") << 4 << "Cancel";
        QTest::newRow("Shift+Tab") << -1 << "Cancel";
    }

    void keyboardOrder()
    {
        QFETCH(int, tabs);
        QFETCH(QString, focused);
        SettingsDialog* dialog = fresh();
        dialog->show();
        QVERIFY(QTest::qWaitForWindowActive(dialog));
        for (int i = 0; i < qAbs(tabs); ++i)
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab, tabs < 0 ? Qt::ShiftModifier : Qt::NoModifier);
        QWidget* focus = QApplication::focusWidget();
        QVERIFY(focus);
        const auto* button = qobject_cast<QPushButton*>(focus);
        QCOMPARE(button ? button->text().remove(QLatin1Char('&')) : focus->objectName(), focused);
        // Space on the first control ticks it; it does not close the dialog.
        if (tabs == 0) {
            QTest::keyClick(focus, Qt::Key_Space);
            QVERIFY(dialog->isVisible());
            QVERIFY(dialog->_deleteEncryptedCheck->isChecked());
        }
        dialog->reject();
    }

    void escapeKeepsTheChangedState()
    {
        SettingsDialog* dialog = fresh();
        dialog->show();
        dialog->_deleteEncryptedCheck->setChecked(true);
        dialog->_threadsCombo->setCurrentIndex(3);
        QTest::keyClick(dialog, Qt::Key_Escape);
        QVERIFY(!dialog->isVisible());
        QVERIFY(dialog->_deleteEncryptedCheck->isChecked());
        QCOMPARE(dialog->getNumThreads(), 8);
        QVERIFY(DecryptManager::deleteEncryptedOnSuccess());
        QCOMPARE(store().value(QStringLiteral("settings/deleteEncrypted")).toBool(), false);
        dialog->show();
        QCOMPARE(store().value(QStringLiteral("settings/deleteEncrypted")).toBool(), true);
        QCOMPARE(store().value(QStringLiteral("settings/threadIndex")).toInt(), 3);
    }

    // The decrypt manager asks the box when a task completes: every manager, also
    // one built after the last was shut down, acts on the box as it shows, and
    // none does once the dialog is gone.
    void everyManagerSeesTheBox_data()
    {
        QTest::addColumn<bool>("checked");
        QTest::newRow("checked") << true;
        QTest::newRow("unchecked") << false;
    }

    void everyManagerSeesTheBox()
    {
        QFETCH(bool, checked);
        SettingsDialog* dialog = fresh();
        dialog->_deleteEncryptedCheck->setChecked(checked);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        for (int build = 0; build < 3; ++build) {
            DecryptManager::destroyInstance();
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            DecryptManager* manager = DecryptManager::instance();
            QCOMPARE(DecryptManager::deleteEncryptedOnSuccess(), checked);

            const QString source = dir.filePath(QStringLiteral("run%1.korvel-env").arg(build));
            QVERIFY(korvel::test::writeEnvelope(source.toStdString(), korvel::test::patternBytes(5000, build)));
            QCOMPARE(manager->addFiles({ source }), 1);
            QSignalSpy finished(manager, &DecryptManager::allFinished);
            manager->startDecrypt(QStringLiteral("secret"));
            QVERIFY(finished.wait(60000));
            QTRY_VERIFY(!manager->isDecrypting());
            QCOMPARE(manager->getNumCompleted(), 1);
            QVERIFY(QFile::exists(dir.filePath(QStringLiteral("run%1").arg(build))));
            QCOMPARE(QFile::exists(source), !checked);
        }
        // The box's state at the moment of asking counts.
        dialog->_deleteEncryptedCheck->setChecked(!checked);
        QCOMPARE(DecryptManager::deleteEncryptedOnSuccess(), !checked);
        dialog->_deleteEncryptedCheck->setChecked(true);
        SettingsDialog::destroyInstance();
        QVERIFY(!DecryptManager::deleteEncryptedOnSuccess());
    }

    void nonNumericTextGivesZero()
    {
        SettingsDialog* dialog = fresh();
        QSignalSpy changed(dialog, &SettingsDialog::numThreadChanged);
        dialog->onNumThreadsChanged(QStringLiteral("many"));
        QCOMPARE(changed.count(), 1);
        QCOMPARE(changed.at(0).at(0).toInt(), 0);
    }
};

// The tests clear the settings: never those of whoever runs them.
QTEST_MAIN_WRAPPER(TestSettingsDialog, QStandardPaths::setTestModeEnabled(true); QTEST_MAIN_SETUP())
#include "test_SettingsDialog.moc"
