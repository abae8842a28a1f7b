// The command line: what each argument list asks for, and the usage and
// version texts of the real program with their exit code.
#include "app/CommandLine.h"

#include <QProcess>
#include <QtTest>

class TestCommandLine : public QObject {
    Q_OBJECT

private slots:
    void parse_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("action");
        QTest::addColumn<QStringList>("paths");
        using A = CommandLine::Action;
        QTest::newRow("none") << QStringList { "prog" } << int(A::Nothing) << QStringList {};
        QTest::newRow("-h") << QStringList { "prog", "-h" } << int(A::Usage) << QStringList {};
        QTest::newRow("--help") << QStringList { "prog", "--help", "x" } << int(A::Usage) << QStringList {};
        QTest::newRow("-v") << QStringList { "prog", "-v" } << int(A::Version) << QStringList {};
        QTest::newRow("--version") << QStringList { "prog", "--version" } << int(A::Version) << QStringList {};
        QTest::newRow("star") << QStringList { "prog", "*", "folder" } << int(A::Load) << QStringList { "/cwd" };
        QTest::newRow("file then -h") << QStringList { "prog", "f", "-h" } << int(A::Load)
                                      << QStringList { "/cwd/f", "/cwd/-h" };
        QTest::newRow("-H") << QStringList { "prog", "-H" } << int(A::Load) << QStringList { "/cwd/-H" };
        QTest::newRow("-help") << QStringList { "prog", "-help" } << int(A::Load) << QStringList { "/cwd/-help" };
        QTest::newRow("later star") << QStringList { "prog", "a", "*", "--version" } << int(A::Load)
                                    << QStringList { "/cwd/a", "/cwd/*", "/cwd/--version" };
        // Relative paths are fixed against the folder the program started in.
        QTest::newRow("absolute and relative") << QStringList { "prog", "/abs/set5", "set5/", "../up" } << int(A::Load)
                                               << QStringList { "/abs/set5", "/cwd/set5/", "/cwd/../up" };
        QTest::newRow("empty argument") << QStringList { "prog", "" } << int(A::Load) << QStringList { "" };
    }

    void parse()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, action);
        QFETCH(QStringList, paths);
        const CommandLine commandLine(arguments, QStringLiteral("/cwd"));
        QCOMPARE(int(commandLine.action()), action);
        QCOMPARE(commandLine.paths(), paths);
    }

    void programOutput_data()
    {
        QTest::addColumn<QString>("option");
        QTest::addColumn<QByteArray>("output");
        const QByteArray usage = "Decrypts files encrypted with Korvel's security envelope.\n"
                                 "\n"
                                 "Usage: korvelcrypt file [file(s)]    - loads file(s) or folder(s).\n"
                                 "       korvelcrypt *                 - loads all files and folders recursively.\n"
                                 "       korvelcrypt -h --help         - displays this help text.\n"
                                 "       korvelcrypt -v --version      - displays version information.\n";
        QTest::newRow("-h") << "-h" << usage;
        QTest::newRow("--help") << "--help" << usage;
        QTest::newRow("-v") << "-v" << QByteArray("Korvel Crypt 1.1.0\n");
        QTest::newRow("--version") << "--version" << QByteArray("Korvel Crypt 1.1.0\n");
    }

    void programOutput()
    {
        QFETCH(QString, option);
        QFETCH(QByteArray, output);
        QProcess program;
        // No display at all: the texts must not need one.
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        program.setProcessEnvironment(env);
        program.start(QStringLiteral(KORVELCRYPT_PATH), { option });
        QVERIFY(program.waitForFinished(30000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);
        QCOMPARE(program.readAllStandardOutput(), output);
        const QList<QByteArray> lines = output.split('\n');
        if (lines.size() > 5) {
            for (int i = 2; i < 6; ++i) {
                QCOMPARE(lines.at(i).indexOf(" - "), 36); // the dash stands in column 37
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestCommandLine)
#include "test_CommandLine.moc"
