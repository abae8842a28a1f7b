// The command line: what each argument list asks for, and the usage and
// version texts of the real program with their exit code.
#include "app/CommandLine.h"
#include "app/LaunchChannel.h"

#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

class TestCommandLine : public QObject {
    Q_OBJECT

private slots:
    void parse_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("action");
        QTest::addColumn<QStringList>("paths");
        QTest::addColumn<bool>("newInstance");
        using A = CommandLine::Action;
        QTest::newRow("none") << QStringList { "prog" } << int(A::Nothing) << QStringList {} << false;
        QTest::newRow("-h") << QStringList { "prog", "-h" } << int(A::Usage) << QStringList {} << false;
        QTest::newRow("--help") << QStringList { "prog", "--help", "x" } << int(A::Usage) << QStringList {} << false;
        QTest::newRow("-v") << QStringList { "prog", "-v" } << int(A::Version) << QStringList {} << false;
        QTest::newRow("--version") << QStringList { "prog", "--version" } << int(A::Version) << QStringList {} << false;
        QTest::newRow("star") << QStringList { "prog", "*", "folder" } << int(A::Load) << QStringList { "/cwd" }
                              << false;
        QTest::newRow("file then -h") << QStringList { "prog", "f", "-h" } << int(A::Load)
                                      << QStringList { "/cwd/f", "/cwd/-h" } << false;
        QTest::newRow("-H") << QStringList { "prog", "-H" } << int(A::Load) << QStringList { "/cwd/-H" } << false;
        QTest::newRow("-help") << QStringList { "prog", "-help" } << int(A::Load) << QStringList { "/cwd/-help" }
                               << false;
        QTest::newRow("later star") << QStringList { "prog", "a", "*", "--version" } << int(A::Load)
                                    << QStringList { "/cwd/a", "/cwd/*", "/cwd/--version" } << false;
        // Relative paths are fixed against the folder the program started in.
        QTest::newRow("absolute and relative") << QStringList { "prog", "/abs/set5", "set5/", "../up" } << int(A::Load)
                                               << QStringList { "/abs/set5", "/cwd/set5/", "/cwd/../up" } << false;
        QTest::newRow("empty argument") << QStringList { "prog", "" } << int(A::Load) << QStringList { "" } << false;
        // "--new-instance" first: a window of its own; the rest reads as usual.
        QTest::newRow("--new-instance") << QStringList { "prog", "--new-instance" } << int(A::Nothing) << QStringList {}
                                        << true;
        QTest::newRow("--new-instance, files") << QStringList { "prog", "--new-instance", "f", "/g" } << int(A::Load)
                                               << QStringList { "/cwd/f", "/g" } << true;
        QTest::newRow("--new-instance, star")
            << QStringList { "prog", "--new-instance", "*" } << int(A::Load) << QStringList { "/cwd" } << true;
        QTest::newRow("later --new-instance is a path") << QStringList { "prog", "f", "--new-instance" } << int(A::Load)
                                                        << QStringList { "/cwd/f", "/cwd/--new-instance" } << false;
    }

    void parse()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, action);
        QFETCH(QStringList, paths);
        QFETCH(bool, newInstance);
        const CommandLine commandLine(arguments, QStringLiteral("/cwd"));
        QCOMPARE(int(commandLine.action()), action);
        QCOMPARE(commandLine.paths(), paths);
        QCOMPARE(commandLine.newInstance(), newInstance);
    }

    void programOutput_data()
    {
        QTest::addColumn<QString>("option");
        QTest::addColumn<QByteArray>("output");
        const QByteArray usage
            = "Decrypts files encrypted with Korvel's security envelope.\n"
              "\n"
              "Usage: korvelcrypt file [file(s)]    - loads file(s) or folder(s).\n"
              "       korvelcrypt *                 - loads all files and folders recursively.\n"
              "       korvelcrypt -h --help         - displays this help text.\n"
              "       korvelcrypt -v --version      - displays version information.\n"
              "       korvelcrypt --new-instance    - opens a window of its own, with or without files.\n";
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
            for (int i = 2; i < lines.size() - 1; ++i) {
                QCOMPARE(lines.at(i).indexOf(" - "), 36); // the dash stands in column 37
            }
        }
    }

    // A second start hands its paths (absolute) to the window listening in the
    // user's session and ends with 0; with none, it only asks for the window.
    // The socket lives in a runtime folder of the test's own.
    void secondStartHandsOver_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QStringList>("handed"); // "@" stands for the working folder
        QTest::newRow("files") << QStringList { "a.korvel-env", "/abs/b" }
                               << QStringList { "@/a.korvel-env", "/abs/b" };
        QTest::newRow("star") << QStringList { "*" } << QStringList { "@" };
        QTest::newRow("no files") << QStringList {} << QStringList {};
    }

    void secondStartHandsOver()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, handed);
        QTemporaryDir runtime;
        QVERIFY(runtime.isValid());
        LaunchChannel channel;
        QVERIFY(channel.listen(runtime.path() + QStringLiteral("/korvelcrypt.socket")));
        QSignalSpy arrived(&channel, &LaunchChannel::filesArrived);
        QProcess program;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        program.setProcessEnvironment(env);
        program.setWorkingDirectory(runtime.path());
        program.start(QStringLiteral(KORVELCRYPT_PATH), arguments);
        QVERIFY(arrived.wait(30000));
        QVERIFY(program.waitForFinished(30000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);
        for (QString& path : handed) {
            path.replace(QLatin1Char('@'), QDir(runtime.path()).canonicalPath());
        }
        QStringList got = arrived.first().first().toStringList();
        for (QString& path : got) {
            path = QDir::cleanPath(path);
        }
        QCOMPARE(got, handed);
    }
};

QTEST_GUILESS_MAIN(TestCommandLine)
#include "test_CommandLine.moc"
