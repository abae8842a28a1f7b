// The installed desktop files, seen the way a file manager sees them: the MIME
// database built in the install prefix gives envelope files our type, the desktop
// database names our entry as that type's handler, and the entry starts the
// installed program with the chosen files and shows an icon at every theme size
// and as a drawing for any size; the AppStream metadata names that entry, that
// file type and this version. The prefix is installed and its caches built by
// the packaging_install fixture.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QMimeDatabase>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <QtTest>

namespace {

const QString kEnvelopeType = QStringLiteral("application/x-korvel-envelope");
const QString kEntryName = QStringLiteral("korvelcrypt.desktop");

QString prefix()
{
    return qEnvironmentVariable("KORVEL_TEST_PREFIX");
}

QString applicationsDir()
{
    return prefix() + QStringLiteral("/share/applications");
}

// The value of key in [group] of a desktop-entry style file (the entry itself and
// mimeinfo.cache share the format); a null string when the file or key is missing.
QString groupValue(const QString& path, const QString& group, const QString& key)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        return QString();
    }
    const QString header = QLatin1Char('[') + group + QLatin1Char(']');
    bool inGroup = false;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            inGroup = line == header;
            continue;
        }
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (inGroup && equals > 0 && line.left(equals).trimmed() == key) {
            return line.mid(equals + 1).trimmed();
        }
    }
    return QString();
}

QString entryValue(const QString& key)
{
    return groupValue(applicationsDir() + QLatin1Char('/') + kEntryName, QStringLiteral("Desktop Entry"), key);
}

QStringList listValue(const QString& value)
{
    return value.split(QLatin1Char(';'), Qt::SkipEmptyParts);
}

} // namespace

class TestDesktopIntegration : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void fileNamesMapToEnvelopeType_data();
    void fileNamesMapToEnvelopeType();
    void envelopeTypeIsHandledByOurEntry();
    void entryOpensFilesWithInstalledProgram();
    void iconAtEveryThemeSize_data();
    void iconAtEveryThemeSize();
    void scalableIcon();
    void appStreamComponent();
};

void TestDesktopIntegration::initTestCase()
{
    if (qEnvironmentVariableIntValue("KORVEL_HAVE_APP") == 0) {
        QSKIP("korvelcrypt is not built in this tree, so nothing of the desktop is installed");
    }
    QVERIFY2(!prefix().isEmpty(), "KORVEL_TEST_PREFIX names the install prefix");
    // The lookups below must come from the database built in the prefix.
    QVERIFY(qEnvironmentVariable("XDG_DATA_DIRS").startsWith(prefix() + QStringLiteral("/share")));
    QVERIFY2(QFileInfo::exists(prefix() + QStringLiteral("/share/mime/mime.cache")),
        "update-mime-database ran in the prefix");
}

void TestDesktopIntegration::fileNamesMapToEnvelopeType_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("type");

    const QByteArray binary = QByteArray::fromHex("00ff10e3b10bb10b8106");
    const QByteArray pdf = QByteArrayLiteral("%PDF-1.7\n%\xe2\xe3\xcf\xd3\n");
    QTest::newRow("plain") << "archive.korvel-env" << binary << kEnvelopeType;
    QTest::newRow("double extension") << "report.pdf.korvel-env" << binary << kEnvelopeType;
    // The name decides even when the bytes look like another type.
    QTest::newRow("pdf-looking content") << "scan.korvel-env" << pdf << kEnvelopeType;
    QTest::newRow("upper case") << "PHOTO.JPG.KORVEL-ENV" << binary << kEnvelopeType;
    QTest::newRow("extension not last") << "notes.korvel-env.txt" << QByteArray("hello\n")
                                        << QStringLiteral("text/plain");
    QTest::newRow("no dot") << "korvel-env" << pdf << QStringLiteral("application/pdf");
}

void TestDesktopIntegration::fileNamesMapToEnvelopeType()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    QFETCH(QString, type);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QFile file(dir.filePath(name));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(content), content.size());
    file.close();

    QCOMPARE(QMimeDatabase().mimeTypeForFile(file.fileName()).name(), type);
}

void TestDesktopIntegration::envelopeTypeIsHandledByOurEntry()
{
    const QMimeType type = QMimeDatabase().mimeTypeForName(kEnvelopeType);
    QVERIFY(type.isValid());
    QCOMPARE(type.globPatterns(), QStringList { QStringLiteral("*.korvel-env") });
    QVERIFY(!type.comment().isEmpty());

    const QString handlers = groupValue(
        applicationsDir() + QStringLiteral("/mimeinfo.cache"), QStringLiteral("MIME Cache"), kEnvelopeType);
    QVERIFY2(listValue(handlers).contains(kEntryName), qPrintable(handlers));
    QVERIFY(listValue(entryValue(QStringLiteral("MimeType"))).contains(kEnvelopeType));
}

void TestDesktopIntegration::entryOpensFilesWithInstalledProgram()
{
    const QStringList exec = entryValue(QStringLiteral("Exec")).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    QVERIFY(!exec.isEmpty());
    const QFileInfo program(prefix() + QStringLiteral("/bin/") + exec.first());
    QVERIFY2(program.isFile() && program.isExecutable(), qPrintable(program.filePath()));
    // The program takes local paths (a URL would be skipped as a missing file), so
    // the file manager must hand over file names: %F, or %f for one at a time.
    QVERIFY2(exec.contains(QStringLiteral("%F")) || exec.contains(QStringLiteral("%f")),
        qPrintable(exec.join(QLatin1Char(' '))));
}

void TestDesktopIntegration::iconAtEveryThemeSize_data()
{
    QTest::addColumn<int>("size");
    for (int size : { 16, 32, 48, 64, 128, 256 }) {
        QTest::addRow("%dx%d", size, size) << size;
    }
}

void TestDesktopIntegration::iconAtEveryThemeSize()
{
    QFETCH(int, size);
    const QString icon = entryValue(QStringLiteral("Icon"));
    QVERIFY(!icon.isEmpty());
    const QString path = prefix() + QStringLiteral("/share/icons/hicolor/%1x%1/apps/%2.png").arg(size).arg(icon);
    const QImage image(path);
    QVERIFY2(!image.isNull(), qPrintable(path));
    QCOMPARE(image.size(), QSize(size, size));
    QVERIFY(image.hasAlphaChannel());
}

void TestDesktopIntegration::scalableIcon()
{
    const QString path = prefix()
        + QStringLiteral("/share/icons/hicolor/scalable/apps/%1.svg").arg(entryValue(QStringLiteral("Icon")));
    QFile file(path);
    QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(path));
    QXmlStreamReader svg(&file);
    QVERIFY(svg.readNextStartElement());
    QCOMPARE(svg.name(), QLatin1String("svg"));
    QCOMPARE(svg.namespaceUri(), QLatin1String("http://www.w3.org/2000/svg"));
    // Square, as a theme's app icons are.
    const QStringList box = svg.attributes().value(QLatin1String("viewBox")).toString().split(QLatin1Char(' '));
    QCOMPARE(box.size(), 4);
    QCOMPARE(box[2], box[3]);
    while (!svg.atEnd()) {
        svg.readNext();
    }
    QVERIFY2(!svg.hasError(), qPrintable(svg.errorString()));
}

void TestDesktopIntegration::appStreamComponent()
{
    const QString id = qEnvironmentVariable("KORVEL_APPSTREAM_ID");
    const QString path = prefix() + QStringLiteral("/share/metainfo/%1.metainfo.xml").arg(id);
    QFile file(path);
    QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(path));
    QXmlStreamReader xml(&file);
    QString componentId;
    QString componentType;
    QStringList launchables;
    QStringList mediaTypes;
    QStringList binaries;
    QStringList releases;
    QStringList screenshots;
    bool rated = false;
    while (!xml.atEnd()) {
        xml.readNext();
        if (!xml.isStartElement()) {
            continue;
        }
        const auto name = xml.name();
        if (name == QLatin1String("component")) {
            componentType = xml.attributes().value(QLatin1String("type")).toString();
        } else if (name == QLatin1String("id")) {
            componentId = xml.readElementText();
        } else if (name == QLatin1String("launchable")) {
            QCOMPARE(xml.attributes().value(QLatin1String("type")), QLatin1String("desktop-id"));
            launchables << xml.readElementText();
        } else if (name == QLatin1String("mediatype")) {
            mediaTypes << xml.readElementText();
        } else if (name == QLatin1String("binary")) {
            binaries << xml.readElementText();
        } else if (name == QLatin1String("release")) {
            releases << xml.attributes().value(QLatin1String("version")).toString();
        } else if (name == QLatin1String("image")) {
            screenshots << xml.readElementText();
        } else if (name == QLatin1String("content_rating")) {
            rated = xml.attributes().value(QLatin1String("type")).startsWith(QLatin1String("oars-"));
        }
    }
    QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
    QCOMPARE(componentId, id);
    QCOMPARE(componentType, QStringLiteral("desktop-application"));
    // The entry it launches is the one installed, and it opens the same type.
    QCOMPARE(launchables, QStringList { kEntryName });
    QCOMPARE(mediaTypes, QStringList { kEnvelopeType });
    QVERIFY(listValue(entryValue(QStringLiteral("MimeType"))).contains(kEnvelopeType));
    for (const QString& binary : binaries) {
        QVERIFY2(QFileInfo(prefix() + QStringLiteral("/bin/") + binary).isExecutable(), qPrintable(binary));
    }
    QVERIFY(binaries.contains(entryValue(QStringLiteral("Exec")).section(QLatin1Char(' '), 0, 0)));
    // The newest release comes first and is this version.
    QVERIFY(!releases.isEmpty());
    QCOMPARE(releases.first(), qEnvironmentVariable("KORVEL_VERSION"));
    QVERIFY(!screenshots.isEmpty());
    for (const QString& url : screenshots) {
        QVERIFY2(url.startsWith(QLatin1String("https://korvel.dev/")), qPrintable(url));
    }
    QVERIFY(rated);
}

QTEST_GUILESS_MAIN(TestDesktopIntegration)
#include "test_desktop_integration.moc"
