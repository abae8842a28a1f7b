// The passphrase holder: the text it gives back, the bytes the decryptor is
// handed, and that nothing can be had from it once it has been cleared.
#include "engine/Passphrase.h"

#include <QtTest>

#include <cstring>
#include <thread>

class TestPassphrase : public QObject {
    Q_OBJECT

private slots:
    void holdsWhatItWasGiven_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("utf8");
        QTest::newRow("empty") << QString() << QByteArray();
        QTest::newRow("ascii") << QStringLiteral("secret") << QByteArray("secret");
        QTest::newRow("accents and a symbol") << QStringLiteral("Grüße €")
                                              << QByteArray("Gr\xc3\xbc\xc3\x9f"
                                                            "e \xe2\x82\xac");
        QTest::newRow("blank") << QStringLiteral(" ") << QByteArray(" ");
    }

    void holdsWhatItWasGiven()
    {
        QFETCH(QString, text);
        QFETCH(QByteArray, utf8);
        const Passphrase passphrase(text);
        QCOMPARE(passphrase.text(), text);
        QCOMPARE(passphrase.isEmpty(), text.isEmpty());
        QByteArray seen("not called");
        passphrase.withUtf8([&](const char* bytes) {
            QVERIFY(bytes);
            seen = QByteArray(bytes); // up to the terminating NUL
        });
        QCOMPARE(seen, utf8);
    }

    void clearLeavesNothing()
    {
        Passphrase passphrase(QStringLiteral("secret"));
        passphrase.clear();
        QVERIFY(passphrase.isEmpty());
        QVERIFY(passphrase.text().isEmpty());
        QByteArray seen("not called");
        passphrase.withUtf8([&](const char* bytes) { seen = QByteArray(bytes); });
        QCOMPARE(seen, QByteArray());
        passphrase.clear(); // twice is harmless
        QVERIFY(Passphrase().text().isEmpty());
    }

    // The copy handed to the caller is its own: clearing the holder while the
    // caller works does not change it under the caller, and it is gone afterwards.
    void clearWhileInUse()
    {
        Passphrase passphrase(QStringLiteral("secret"));
        QByteArray seen;
        passphrase.withUtf8([&](const char* bytes) {
            std::thread other([&] { passphrase.clear(); });
            other.join();
            seen = QByteArray(bytes);
        });
        QCOMPARE(seen, QByteArray("secret"));
        QVERIFY(passphrase.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestPassphrase)
#include "test_Passphrase.moc"
