#include <kv/kv.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <cstdlib>
#include <cstring>
#include <pwd.h>

class TestKvPath : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QByteArray path(const char* name) const { return m_dir.filePath(name).toUtf8(); }
    static void touch(const QByteArray& file)
    {
        QFile f(QString::fromUtf8(file));
        QVERIFY(f.open(QIODevice::WriteOnly));
    }

private slots:
    void canonical_data();
    void canonical();
    void canonicalBufferLimits_data();
    void canonicalBufferLimits();
    void append_data();
    void append();
    void parentDir_data();
    void parentDir();
    void nextDirsep_data();
    void nextDirsep();
    void nextDirsepWalksEveryLeadingPart();
    void extractPrefix_data();
    void extractPrefix();
    void classification_data();
    void classification();
    void enforceRootedness_data();
    void enforceRootedness();
    void leavesHomeDir_data();
    void leavesHomeDir();
    void slashRemoval();
    void componentForm();
    void findFile();
    void rootDir_data();
    void rootDir();
    void executablePath();
    void homeDir();
    void userHomeDir();
};

void TestKvPath::canonical_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("backslashes and ..") << QByteArray("a\\b\\..\\c") << 0 << QByteArray("a/c");
    QTest::newRow("runs, dot, trailing") << QByteArray("a//b/./c/") << 0 << QByteArray("a/b/c");
    QTest::newRow("leading .. stay") << QByteArray("../../x") << 0 << QByteArray("../../x");
    QTest::newRow(".. past the start") << QByteArray("a/../../x") << 0 << QByteArray("../x");
    QTest::newRow("kept .. not removable") << QByteArray("../a/../../b") << 0 << QByteArray("../../b");
    QTest::newRow(".. above root") << QByteArray("/../x") << 0 << QByteArray("/x");
    QTest::newRow("..abc is a name") << QByteArray("/..abc") << 0 << QByteArray("/..abc");
    QTest::newRow("... is a name") << QByteArray("a/.../b") << 0 << QByteArray("a/.../b");
    QTest::newRow("drive up to root") << QByteArray("C:\\dir\\..") << 0 << QByteArray("C:/");
    QTest::newRow("drive above root") << QByteArray("c:/../../x") << 0 << QByteArray("c:/x");
    QTest::newRow("drive without slash") << QByteArray("C:x") << 0 << QByteArray("C:/x");
    QTest::newRow("unc") << QByteArray("//srv//share/dir/../f") << 0 << QByteArray("//srv/share/f");
    QTest::newRow("unc bare share") << QByteArray("//srv/share") << 0 << QByteArray("//srv/share/");
    QTest::newRow("unc above share") << QByteArray("\\\\srv\\share\\..\\..") << 0 << QByteArray("//srv/share/");
    QTest::newRow("unc extra leading slashes") << QByteArray("///srv/share/x") << 0 << QByteArray("//srv/share/x");
    QTest::newRow("unc empty share") << QByteArray("//srv//") << -1 << QByteArray();
    QTest::newRow("unc without server slash") << QByteArray("/////") << -1 << QByteArray();
    QTest::newRow("short // is one root") << QByteArray("//a/b") << 0 << QByteArray("/a/b");
    QTest::newRow("root alone") << QByteArray("/") << 0 << QByteArray("/");
    QTest::newRow("root runs") << QByteArray("///") << 0 << QByteArray("/");
    QTest::newRow("dot") << QByteArray(".") << 0 << QByteArray(".");
    QTest::newRow("a/..") << QByteArray("a/..") << 0 << QByteArray(".");
    QTest::newRow("dot slash") << QByteArray("./") << 0 << QByteArray(".");
    QTest::newRow("empty") << QByteArray("") << 0 << QByteArray("");
    QTest::newRow("line feed") << QByteArray("a/b\nc") << -1 << QByteArray();
    QTest::newRow("zerv uri unchanged") << QByteArray("zerv://host//x/../y\\z") << 0
                                        << QByteArray("zerv://host//x/../y\\z");
    QTest::newRow("relative reading as drive") << QByteArray("./C:x") << -1 << QByteArray();
    QTest::newRow("relative reading as drive after ..") << QByteArray("a/../C:x") << -1 << QByteArray();
    QTest::newRow("relative with a colon later") << QByteArray("./a/C:x") << 0 << QByteArray("a/C:x");
}

void TestKvPath::canonical()
{
    QFETCH(QByteArray, input);
    QFETCH(int, result);
    QFETCH(QByteArray, expected);

    char out[KV_PATH_MAX];
    memset(out, 'Z', sizeof out);
    QCOMPARE(kv_path_canonical_path(input.constData(), out, sizeof out), result);
    QCOMPARE(QByteArray(out), expected);
    if (result != 0)
        return;

    // The same buffer in and out, and the canonical form of a canonical form.
    char inPlace[KV_PATH_MAX];
    memcpy(inPlace, input.constData(), input.size() + 1);
    QCOMPARE(kv_path_canonical_path(inPlace, inPlace, sizeof inPlace), 0);
    QCOMPARE(QByteArray(inPlace), expected);
    QCOMPARE(kv_path_canonical_path(inPlace, inPlace, sizeof inPlace), 0);
    QCOMPARE(QByteArray(inPlace), expected);
}

void TestKvPath::canonicalBufferLimits_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("exact fit") << QByteArray("/abc/def") << 9 << 0 << QByteArray("/abc/def");
    QTest::newRow("one short") << QByteArray("/abc/def") << 8 << -1 << QByteArray();
    QTest::newRow("long input short result") << QByteArray("/abc/def/../../x") << 3 << 0 << QByteArray("/x");
    QTest::newRow("trailing slash needs no room") << QByteArray("abc/") << 4 << 0 << QByteArray("abc");
    QTest::newRow("unc prefix too long") << QByteArray("//server/share") << 10 << -1 << QByteArray();
    QTest::newRow("dot needs two bytes") << QByteArray("a/..") << 1 << -1 << QByteArray();
    QTest::newRow("zerv uri too long") << QByteArray("zerv://host/x") << 8 << -1 << QByteArray();
    QTest::newRow("size zero") << QByteArray("a") << 0 << -1 << QByteArray("ZZZZ");
}

void TestKvPath::canonicalBufferLimits()
{
    QFETCH(QByteArray, input);
    QFETCH(int, size);
    QFETCH(int, result);
    QFETCH(QByteArray, expected);

    char out[64];
    memset(out, 'Z', sizeof out);
    QCOMPARE(kv_path_canonical_path(input.constData(), out, size), result);
    // Nothing is written past the buffer, and what is written ends in it.
    for (size_t i = size; i < sizeof out; ++i)
        QCOMPARE(out[i], 'Z');
    if (size > 0)
        QVERIFY(memchr(out, '\0', size) != nullptr);
    QCOMPARE(QByteArray(out, size > 0 ? int(strlen(out)) : 4), expected);
}

void TestKvPath::append_data()
{
    QTest::addColumn<QByteArray>("base");
    QTest::addColumn<QByteArray>("rel");
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("rooted rel is relative") << QByteArray("/a") << QByteArray("/x") << 64 << 0 << QByteArray("/a/x");
    QTest::newRow("dot base") << QByteArray(".") << QByteArray("x") << 64 << 0 << QByteArray("x");
    QTest::newRow("empty base") << QByteArray("") << QByteArray("./y") << 64 << 0 << QByteArray("y");
    QTest::newRow("base with slash") << QByteArray("/a/") << QByteArray("b") << 64 << 0 << QByteArray("/a/b");
    QTest::newRow("climbs over base") << QByteArray("/a/b") << QByteArray("../../../c") << 64 << 0 << QByteArray("/c");
    QTest::newRow("drive base") << QByteArray("C:\\x") << QByteArray("y\\z") << 64 << 0 << QByteArray("C:/x/y/z");
    QTest::newRow("empty rel") << QByteArray("/a/b/") << QByteArray("") << 64 << 0 << QByteArray("/a/b");
    QTest::newRow("dot base rooted rel") << QByteArray(".") << QByteArray("/x") << 64 << 0 << QByteArray("x");
    QTest::newRow("too long") << QByteArray("/abc") << QByteArray("def") << 8 << -1 << QByteArray();
    QTest::newRow("long join, short result")
        << QByteArray("/abcdef") << QByteArray("../x") << 4 << 0 << QByteArray("/x");
    QTest::newRow("size zero") << QByteArray("/a") << QByteArray("b") << 0 << 0 << QByteArray("ZZZZ");
}

void TestKvPath::append()
{
    QFETCH(QByteArray, base);
    QFETCH(QByteArray, rel);
    QFETCH(int, size);
    QFETCH(int, result);
    QFETCH(QByteArray, expected);

    char out[64];
    memset(out, 'Z', sizeof out);
    QCOMPARE(kv_path_append(base.constData(), rel.constData(), out, size), result);
    QCOMPARE(QByteArray(out, size > 0 ? int(strlen(out)) : 4), expected);
}

void TestKvPath::parentDir_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("/a/b") << QByteArray("/a/b") << 2 << QByteArray("/a");
    QTest::newRow("/a/b/") << QByteArray("/a/b/") << 2 << QByteArray("/a");
    QTest::newRow("root") << QByteArray("/") << 1 << QByteArray("/");
    QTest::newRow("a") << QByteArray("a") << 1 << QByteArray(".");
    QTest::newRow("dot") << QByteArray(".") << 2 << QByteArray("..");
    QTest::newRow("dotdot") << QByteArray("..") << 5 << QByteArray("../..");
    QTest::newRow("drive") << QByteArray("C:/x") << 3 << QByteArray("C:/");
    QTest::newRow("unc") << QByteArray("//s/share/x") << 10 << QByteArray("//s/share/");
    QTest::newRow("empty") << QByteArray("") << -1 << QByteArray();
    QTest::newRow("no room for /..") << QByteArray(KV_PATH_MAX - 3, 'a') << -1 << QByteArray();
}

void TestKvPath::parentDir()
{
    QFETCH(QByteArray, input);
    QFETCH(int, result);
    QFETCH(QByteArray, expected);

    char out[KV_PATH_MAX];
    QCOMPARE(kv_path_parent_dir(input.constData(), out, sizeof out), result);
    QCOMPARE(QByteArray(out), expected);
}

void TestKvPath::nextDirsep_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("offset"); // -1: none

    QTest::newRow("drive root passed over") << QByteArray("C:/a/b") << 4;
    QTest::newRow("rooted") << QByteArray("/a/b") << 2;
    QTest::newRow("unc server passed over") << QByteArray("//srv/share/d") << 11;
    QTest::newRow("unc share only") << QByteArray("//srv/share") << -1;
    QTest::newRow("relative") << QByteArray("a/b") << 1;
    QTest::newRow("single component") << QByteArray("/a") << -1;
    QTest::newRow("drive single") << QByteArray("C:/a") << -1;
}

void TestKvPath::nextDirsep()
{
    QFETCH(QByteArray, input);
    QFETCH(int, offset);

    const char* sep = kv_path_next_dirsep(input.constData());
    QCOMPARE(sep ? int(sep - input.constData()) : -1, offset);
}

void TestKvPath::nextDirsepWalksEveryLeadingPart()
{
    const QByteArray input("/a/bb/c/d");
    QList<QByteArray> parts;
    for (const char* sep = kv_path_next_dirsep(input.constData()); sep; sep = kv_path_next_dirsep(sep))
        parts << input.left(int(sep - input.constData()));
    QCOMPARE(parts, (QList<QByteArray> { "/a", "/a/bb", "/a/bb/c" }));
}

void TestKvPath::extractPrefix_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArray>("prefix");
    QTest::addColumn<int>("restOffset"); // -1: null

    QTest::newRow("relative") << QByteArray("a/b") << 0 << QByteArray("") << 0;
    QTest::newRow("rooted") << QByteArray("/a") << 0 << QByteArray("/") << 1;
    QTest::newRow("double slash not unc") << QByteArray("//a") << 0 << QByteArray("/") << 2;
    QTest::newRow("drive") << QByteArray("d:\\x") << 0 << QByteArray("d:/") << 3;
    QTest::newRow("unc") << QByteArray("\\\\srv\\\\share\\f") << 0 << QByteArray("//srv/share/") << 13;
    QTest::newRow("unc ends with share") << QByteArray("//srv/share//") << 0 << QByteArray("//srv/share/") << -1;
    QTest::newRow("unc empty share") << QByteArray("//srv/") << -1 << QByteArray("") << -1;
}

void TestKvPath::extractPrefix()
{
    QFETCH(QByteArray, input);
    QFETCH(int, result);
    QFETCH(QByteArray, prefix);
    QFETCH(int, restOffset);

    char out[KV_PATH_MAX];
    const char* rest = input.constData();
    QCOMPARE(kv_path_extract_prefix(input.constData(), out, &rest), result);
    QCOMPARE(QByteArray(out), prefix);
    QCOMPARE(rest ? int(rest - input.constData()) : -1, restOffset);

    const bool unc = prefix.startsWith("//") || result != 0;
    QCOMPARE(kv_path_unc_parts(input.constData(), out, &rest), unc ? result : -1);
    if (unc && result == 0)
        QCOMPARE(QByteArray(out), prefix);
}

void TestKvPath::classification_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("relative");
    QTest::addColumn<int>("unc");
    QTest::addColumn<int>("drive");
    QTest::addColumn<int>("zerv");

    QTest::newRow("relative") << QByteArray("a/b") << 1 << 0 << 0 << 0;
    QTest::newRow("empty") << QByteArray("") << 1 << 0 << 0 << 0;
    QTest::newRow("rooted") << QByteArray("/a") << 0 << 0 << 0 << 0;
    QTest::newRow("backslash rooted") << QByteArray("\\a") << 0 << 0 << 0 << 0;
    QTest::newRow("drive after space") << QByteArray("  C:/x") << 0 << 0 << 1 << 0;
    QTest::newRow("drive without slash") << QByteArray("C:x") << 0 << 0 << 1 << 0;
    QTest::newRow("digit colon") << QByteArray("1:x") << 1 << 0 << 0 << 0;
    QTest::newRow("unc") << QByteArray("//srv/share") << 0 << 1 << 0 << 0;
    QTest::newRow("unc backslashes") << QByteArray("\\\\srv\\share") << 0 << 1 << 0 << 0;
    QTest::newRow("short double slash") << QByteArray("//a/b") << 0 << 0 << 0 << 0;
    QTest::newRow("zerv") << QByteArray("zerv://h/p") << 1 << 0 << 0 << 1;
    QTest::newRow("zerv one slash") << QByteArray("zerv:/h") << 1 << 0 << 0 << 0;
}

void TestKvPath::classification()
{
    QFETCH(QByteArray, input);
    QFETCH(int, relative);
    QFETCH(int, unc);
    QFETCH(int, drive);
    QFETCH(int, zerv);

    QCOMPARE(kv_path_is_relative(input.constData()), relative);
    QCOMPARE(kv_path_is_unc_path(input.constData()), unc);
    QCOMPARE(kv_path_has_windows_drive_letter(input.constData()), drive);
    QCOMPARE(kv_path_is_zerv_uri(input.constData()), zerv);
}

void TestKvPath::enforceRootedness_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("relative") << QByteArray("dir\\f") << 64 << 0 << QByteArray("/dir/f");
    QTest::newRow("drive") << QByteArray("C:/x") << 64 << 0 << QByteArray("C:/x");
    QTest::newRow("drive without slash") << QByteArray("C:x") << 64 << int(EINVAL) << QByteArray("C:x");
    QTest::newRow("space and unc") << QByteArray(" \\\\s\\sh") << 64 << 0 << QByteArray("//s/sh");
    QTest::newRow("rooted") << QByteArray("/x") << 64 << 0 << QByteArray("/x");
    QTest::newRow("exact fit") << QByteArray("ab") << 4 << 0 << QByteArray("/ab");
    QTest::newRow("no room") << QByteArray("abc") << 4 << int(KV_ERR_FILENAME_TOO_LONG) << QByteArray("abc");
}

void TestKvPath::enforceRootedness()
{
    QFETCH(QByteArray, input);
    QFETCH(int, size);
    QFETCH(int, result);
    QFETCH(QByteArray, expected);

    char buffer[64];
    memcpy(buffer, input.constData(), input.size() + 1);
    QCOMPARE(kv_path_enforce_rootedness(buffer, size), result);
    QCOMPARE(QByteArray(buffer), expected);
}

void TestKvPath::leavesHomeDir_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("leaves");

    QTest::newRow("../x") << QByteArray("../x") << 1;
    QTest::newRow("x/../..") << QByteArray("x/../..") << 1;
    QTest::newRow("x/../y") << QByteArray("x/../y") << 0;
    QTest::newRow("back in by name a") << QByteArray("../a/x") << 1;
    QTest::newRow("back in by name b") << QByteArray("../b") << 1;
    QTest::newRow("sibling sharing a letter") << QByteArray("../ab") << 1;
    QTest::newRow("dot") << QByteArray(".") << 0;
    QTest::newRow("backslashes") << QByteArray("x\\..\\..\\y") << 1;
    QTest::newRow("line feed") << QByteArray("x\n") << 1;
    QTest::newRow("too long to check") << QByteArray(600, 'x') + "/../../.." << 1;
}

void TestKvPath::leavesHomeDir()
{
    QFETCH(QByteArray, input);
    QFETCH(int, leaves);
    QCOMPARE(kv_path_leaves_home_dir(input.constData()), leaves);
}

void TestKvPath::slashRemoval()
{
    char out[16];
    QCOMPARE(kv_path_remove_trailing_slashes("/a/b//", out, sizeof out), 4);
    QCOMPARE(QByteArray(out), QByteArray("/a/b"));
    QCOMPARE(kv_path_remove_trailing_slashes("/", out, sizeof out), 0);
    QCOMPARE(QByteArray(out), QByteArray(""));
    QCOMPARE(kv_path_remove_trailing_slashes("0123456789abcdef", out, sizeof out), -1);

    char text[32] = "//srv///a//b/";
    QCOMPARE(kv_path_remove_redundant_slashes(text, sizeof text), 10);
    QCOMPARE(QByteArray(text), QByteArray("//srv/a/b/"));
    char partly[32] = "a//b//c";
    // Only the first four bytes are looked at; the rest moves along unchanged.
    QCOMPARE(kv_path_remove_redundant_slashes(partly, 4), 6);
    QCOMPARE(QByteArray(partly), QByteArray("a/b//c"));
}

void TestKvPath::componentForm()
{
    kv_path_t record;
    QCOMPARE(kv_path_init(&record), 0);
    QCOMPARE(kv_path_can_go_up_a_directory(&record), 0);
    char out[64];

    // Relative: ".." that cannot go up stays.
    const char* text = "//../a/./b//../../..//c";
    QCOMPARE(kv_path_string_to_path(&record, text), 0);
    QCOMPARE(kv_path_path_to_string(&record, out, sizeof out), 7);
    QCOMPARE(QByteArray(out), QByteArray("../../c"));
    QCOMPARE(kv_path_can_go_up_a_directory(&record), 1);
    QCOMPARE(kv_path_change_directory(&record, "../rest", 7), 0);
    QCOMPARE(kv_path_change_directory(&record, "..", 2), 0);
    QCOMPARE(kv_path_can_go_up_a_directory(&record), 0);
    QCOMPARE(kv_path_path_to_string(&record, out, sizeof out), 8);
    QCOMPARE(QByteArray(out), QByteArray("../../..")); // the popped c, then one more ".." kept

    // With a prefix nothing goes above it; an empty result is ".".
    kv_path_init(&record);
    strcpy(record.prefix, "C:/");
    QCOMPARE(kv_path_can_go_up_a_directory(&record), 1);
    QCOMPARE(kv_path_string_to_path(&record, "../x/y/.."), 0);
    QCOMPARE(kv_path_path_to_string(&record, out, sizeof out), 4);
    QCOMPARE(QByteArray(out), QByteArray("C:/x"));
    QCOMPARE(kv_path_path_to_string(&record, out, 4), -1);
    QCOMPARE(QByteArray(out), QByteArray(""));
    kv_path_init(&record);
    QCOMPARE(kv_path_path_to_string(&record, out, sizeof out), 1);
    QCOMPARE(QByteArray(out), QByteArray("."));

    // The component array has a bound and says so.
    QByteArray many;
    for (int i = 0; i <= KV_PATH_MAX_COMPONENTS; ++i)
        many += "a/";
    QCOMPARE(kv_path_string_to_path(&record, many.constData()), -1);
    QCOMPARE(record.count, KV_PATH_MAX_COMPONENTS);
}

void TestKvPath::findFile()
{
    QVERIFY(QDir().mkpath(QString::fromUtf8(path("one"))));
    QVERIFY(QDir().mkpath(QString::fromUtf8(path("two"))));
    touch(path("two/target"));
    const QByteArray one = path("one");
    const QByteArray two = path("two");
    const char* dirs[] = { one.constData(), two.constData(), nullptr };
    char out[KV_PATH_MAX];
    QCOMPARE(kv_path_find_file_in_paths("target", dirs, out, sizeof out), 0);
    QCOMPARE(QByteArray(out), two + "/target");
    QCOMPARE(kv_path_find_file_in_paths("missing", dirs, out, sizeof out), -1);
    QCOMPARE(kv_path_find_file_in_paths("", dirs, out, sizeof out), -1);
    QCOMPARE(kv_path_find_file_in_paths(nullptr, dirs, out, sizeof out), -1);
    // A candidate that does not fit ends the search.
    const int exact = two.size() + int(strlen("/target")) + 1;
    const char* onlyTwo[] = { two.constData(), nullptr };
    QCOMPARE(kv_path_find_file_in_paths("target", onlyTwo, out, exact), 0);
    QCOMPARE(kv_path_find_file_in_paths("target", onlyTwo, out, exact - 1), -1);

    const QByteArray list = one + ":" + two;
    QCOMPARE(kv_path_find_file_in_string_of_paths("target", list.constData(), out, sizeof out), 0);
    QCOMPARE(QByteArray(out), two + "/target");
    QCOMPARE(kv_path_find_file_in_string_of_paths("target", one.constData(), out, sizeof out), -1);

    QCOMPARE(kv_path_exists(two.constData()), 1);
    QCOMPARE(kv_path_is_dir(two.constData()), 1);
    QCOMPARE(kv_path_is_dir((two + "/target").constData()), 0);
    QCOMPARE(kv_path_exists((two + "/missing").constData()), 0);
}

void TestKvPath::rootDir_data()
{
    QTest::addColumn<QByteArray>("marker"); // folder holding product-info.mf, empty for none
    QTest::addColumn<QByteArray>("root");

    QTest::newRow("executable folder") << QByteArray("p/r/bin") << QByteArray("p/r/bin");
    QTest::newRow("parent") << QByteArray("p/r") << QByteArray("p/r");
    QTest::newRow("grandparent") << QByteArray("p") << QByteArray("p");
    QTest::newRow("none: parent") << QByteArray() << QByteArray("p/r");
}

void TestKvPath::rootDir()
{
    QFETCH(QByteArray, marker);
    QFETCH(QByteArray, root);

    QTemporaryDir tree;
    const QByteArray base = tree.path().toUtf8();
    QVERIFY(QDir().mkpath(tree.filePath("p/r/bin")));
    if (!marker.isEmpty())
        touch(base + "/" + marker + "/" + kv_path_product_info_file_name());
    // The executable is named with redundant parts; the result is canonical.
    const QByteArray exe = base + "//p/r/./bin/tool";
    char out[KV_PATH_MAX];
    const int length = kv_path_root_dir(exe.constData(), out, sizeof out);
    QCOMPARE(QByteArray(out), base + "/" + root);
    QCOMPARE(length, int(strlen(out)));
    QCOMPARE(kv_path_root_dir(exe.constData(), out, 4), -1);
}

void TestKvPath::executablePath()
{
    char out[KV_PATH_MAX];
    const QByteArray expected = QFileInfo(QCoreApplication::applicationFilePath()).canonicalFilePath().toUtf8();
    QCOMPARE(kv_path_executable_path(out, sizeof out, nullptr), expected.size());
    QCOMPARE(QByteArray(out), expected);
    const QByteArray dir = QFileInfo(QString::fromUtf8(expected)).path().toUtf8();
    QCOMPARE(kv_path_executable_dir(out, sizeof out, nullptr), dir.size());
    QCOMPARE(QByteArray(out), dir);
    QCOMPARE(kv_path_executable_path(out, 4, nullptr), -1);
    QCOMPARE(kv_path_executable_path_from_arg("x", out, sizeof out), -1);

    char cwd[KV_PATH_MAX];
    QCOMPARE(kv_path_getcwd(cwd, sizeof cwd), cwd);
    QCOMPARE(QString::fromUtf8(cwd), QDir::currentPath());
    QVERIFY(kv_path_getcwd(cwd, 1) == nullptr);
}

void TestKvPath::homeDir()
{
    const QByteArray saved = qgetenv("HOME");
    char out[KV_PATH_MAX];
    qputenv("HOME", "/home//someone/./");
    QCOMPARE(kv_path_home_dir(out, sizeof out), 13);
    QCOMPARE(QByteArray(out), QByteArray("/home/someone"));
    qunsetenv("HOME");
    QCOMPARE(kv_path_home_dir(out, sizeof out), -1);
    qputenv("HOME", QByteArray(KV_PATH_MAX, 'h'));
    QCOMPARE(kv_path_home_dir(out, sizeof out), -1);
    qputenv("HOME", saved);
}

void TestKvPath::userHomeDir()
{
    const passwd* root = getpwnam("root");
    QVERIFY(root);
    const QByteArray home(root->pw_dir);
    char out[KV_PATH_MAX];
    size_t size = sizeof out;
    QCOMPARE(kv_path_user_home_dir("root", out, &size), 0);
    QCOMPARE(QByteArray(out), home);
    QCOMPARE(size, size_t(home.size()));

    size = sizeof out;
    QCOMPARE(kv_path_user_home_dir(".\\root", out, &size), 0);
    QCOMPARE(QByteArray(out), home);

    size = size_t(home.size()); // no room for the zero
    QCOMPARE(kv_path_user_home_dir("root", out, &size), int(KV_ERR_INSUFFICIENT_BUFFER));
    QCOMPARE(size, size_t(home.size() + 1));
    QCOMPARE(QByteArray(out), QByteArray(""));

    size = sizeof out;
    QCOMPARE(kv_path_user_home_dir("no-such-user-kv", out, &size), int(ENOENT));
    QCOMPARE(kv_path_user_home_dir(nullptr, out, &size), int(EINVAL));
    QCOMPARE(kv_path_user_home_dir("root", out, nullptr), int(EINVAL));
}

QTEST_GUILESS_MAIN(TestKvPath)
#include "test_kv_path.moc"
