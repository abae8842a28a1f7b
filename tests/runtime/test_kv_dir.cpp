#include <kv/kv.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <cstring>
#include <sys/mount.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

struct Call {
    QByteArray path;
    int created;
};

struct Recorder {
    QList<Call> calls;
    QByteArray failOn; // the callback returns 99 for this path
};

int record(const char* path, int created, void* arg)
{
    auto* recorder = static_cast<Recorder*>(arg);
    recorder->calls.append({ QByteArray(path), created });
    return recorder->failOn == path ? 99 : 0;
}

// Names of a folder in listing order, without "." and "..".
QList<QByteArray> listing(const QByteArray& path)
{
    QList<QByteArray> names;
    kv_dir_t dir;
    kv_dir_init(&dir);
    if (kv_dir_open(path.constData(), &dir) != 0)
        return names;
    char name[KV_PATH_MAX];
    while (kv_dir_next(&dir, name) == 0)
        if (strcmp(name, ".") != 0 && strcmp(name, "..") != 0)
            names << name;
    kv_dir_close(&dir);
    return names;
}

struct Step {
    QByteArray path;
    int kind;
    int result;
};

// Steps as text, so that a failing comparison shows them.
QStringList describe(const QList<Step>& steps)
{
    QStringList out;
    for (const Step& step : steps)
        out << QString("%1 kind %2 rc %3").arg(QString::fromUtf8(step.path)).arg(step.kind).arg(step.result);
    return out;
}

QList<Step> walkAll(kv_dir_walk_t* walk, int limit = 1000)
{
    QList<Step> steps;
    for (int i = 0; i < limit; ++i) {
        char out[KV_PATH_MAX];
        int kind = -1;
        const int rc = kv_dir_walk_iterate(walk, out, sizeof out, &kind);
        if (rc == KV_EEND)
            break;
        steps.append({ QByteArray(out), kind, rc });
    }
    return steps;
}

// A bind mount of a folder inside itself, undone when it goes.
class BindLoop {
public:
    explicit BindLoop(const QByteArray& folder)
        : m_target(folder + "/sub")
    {
        if (mkdir(m_target.constData(), 0755) == 0
            && mount(folder.constData(), m_target.constData(), nullptr, MS_BIND, nullptr) == 0)
            m_mounted = true;
    }
    ~BindLoop()
    {
        if (m_mounted)
            umount2(m_target.constData(), MNT_DETACH);
    }
    bool mounted() const { return m_mounted; }

private:
    QByteArray m_target;
    bool m_mounted = false;
};

} // namespace

class TestKvDir : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QByteArray path(const QByteArray& name) const { return m_dir.filePath(QString::fromUtf8(name)).toUtf8(); }
    static void touch(const QByteArray& file, const QByteArray& contents = "x")
    {
        QFile f(QString::fromUtf8(file));
        QVERIFY(f.open(QIODevice::WriteOnly));
        QCOMPARE(f.write(contents), contents.size());
    }

private slots:
    void listing();
    void listingFailures();
    void create_data();
    void create();
    void createAppliesMode();
    void createConcurrently();
    void deleteFolder();
    void deleteNeverFollowsLinks();
    void deleteStopsOnLoop();
    void walkSequence();
    void walkNested();
    void walkSingleFileAndRejects();
    void walkPopAndRelease();
    void walkStopsOnLoop();
};

void TestKvDir::listing()
{
    const QByteArray folder = path("list");
    QVERIFY(QDir().mkpath(QString::fromUtf8(folder + "/sub")));
    touch(folder + "/a");
    touch(folder + "/b");

    kv_dir_t dir;
    QCOMPARE(kv_dir_init(&dir), 0);
    QVERIFY(!kv_dir_valid(&dir));
    QCOMPARE(kv_dir_open(folder.constData(), &dir), 0);
    QVERIFY(kv_dir_valid(&dir));
    QList<QByteArray> names;
    char name[KV_PATH_MAX];
    int rc;
    while ((rc = kv_dir_next(&dir, name)) == 0)
        names << name;
    QCOMPARE(rc, int(KV_EEND));
    QCOMPARE(kv_dir_next(&dir, name), int(KV_EEND));
    std::sort(names.begin(), names.end());
    QCOMPARE(names, (QList<QByteArray> { ".", "..", "a", "b", "sub" }));
    QCOMPARE(kv_dir_close(&dir), 0);
    QVERIFY(!kv_dir_valid(&dir));
    QCOMPARE(kv_dir_next(&dir, name), int(EINVAL));
    QCOMPARE(kv_dir_close(&dir), 0);
}

void TestKvDir::listingFailures()
{
    kv_dir_t dir;
    kv_dir_init(&dir);
    QCOMPARE(kv_dir_open(path("missing").constData(), &dir), int(ENOENT));
    QVERIFY(!kv_dir_valid(&dir));
    touch(path("plain"));
    QCOMPARE(kv_dir_open(path("plain").constData(), &dir), int(ENOTDIR));
    const QByteArray tooLong = "/" + QByteArray(KV_PATH_MAX - 3, 'x');
    QCOMPARE(kv_dir_open(tooLong.constData(), &dir), int(KV_ERR_INSUFFICIENT_BUFFER));
    QVERIFY(!kv_dir_valid(&dir));
}

void TestKvDir::create_data()
{
    QTest::addColumn<QByteArray>("target"); // under a fresh folder
    QTest::addColumn<int>("recursive");
    QTest::addColumn<QByteArray>("failOn");
    QTest::addColumn<int>("result");
    QTest::addColumn<QStringList>("calls"); // "relative path:created"
    QTest::addColumn<QStringList>("folders"); // that exist afterwards

    QTest::newRow("existing folder") << QByteArray("old") << 0 << QByteArray() << 0 << QStringList { "old:0" }
                                     << QStringList { "old" };
    QTest::newRow("existing file") << QByteArray("file") << 1 << QByteArray() << int(KV_ERR_DIRECTORY) << QStringList {}
                                   << QStringList {};
    QTest::newRow("link to folder") << QByteArray("linkdir") << 0 << QByteArray() << 0 << QStringList { "linkdir:0" }
                                    << QStringList { "linkdir" };
    QTest::newRow("link to file") << QByteArray("linkfile") << 0 << QByteArray() << int(KV_ERR_DIRECTORY)
                                  << QStringList {} << QStringList {};
    QTest::newRow("one new") << QByteArray("new") << 0 << QByteArray() << 0 << QStringList { "new:1" }
                             << QStringList { "new" };
    QTest::newRow("missing parent") << QByteArray("x/y") << 0 << QByteArray() << int(ENOENT) << QStringList {}
                                    << QStringList {};
    QTest::newRow("two missing levels") << QByteArray("old/x/y") << 1 << QByteArray() << 0
                                        << QStringList { "old:0", "old/x:1", "old/x/y:1" }
                                        << QStringList { "old/x", "old/x/y" };
    QTest::newRow("double slashes") << QByteArray("old//x//y") << 1 << QByteArray() << 0
                                    << QStringList { "old:0", "old//x:1", "old//x//y:1" }
                                    << QStringList { "old/x", "old/x/y" };
    QTest::newRow("callback stops") << QByteArray("old/x/y") << 1 << QByteArray("old/x") << 99
                                    << QStringList { "old:0", "old/x:1" } << QStringList { "old/x" };
    QTest::newRow("file on the way") << QByteArray("file/x/y") << 1 << QByteArray() << int(KV_ERR_DIRECTORY)
                                     << QStringList {} << QStringList {};
}

void TestKvDir::create()
{
    QFETCH(QByteArray, target);
    QFETCH(int, recursive);
    QFETCH(QByteArray, failOn);
    QFETCH(int, result);
    QFETCH(QStringList, calls);
    QFETCH(QStringList, folders);

    QTemporaryDir tree;
    const QByteArray base = tree.path().toUtf8() + "/";
    QVERIFY(QDir().mkpath(tree.filePath("old")));
    touch(base + "file");
    QCOMPARE(kv_file_symlink((base + "old").constData(), (base + "linkdir").constData()), 0);
    QCOMPARE(kv_file_symlink((base + "file").constData(), (base + "linkfile").constData()), 0);

    // The recorder sees only what lies under the fresh folder.
    Recorder recorder;
    recorder.failOn = failOn.isEmpty() ? QByteArray() : base + failOn;
    QCOMPARE(kv_dir_create_callback((base + target).constData(), 0755, recursive, record, &recorder), result);
    QStringList seen;
    for (const Call& call : recorder.calls)
        if (call.path.startsWith(base))
            seen << QString::fromUtf8(call.path.mid(base.size())) + ":" + QString::number(call.created);
    QCOMPARE(seen, calls);
    for (const QString& folder : folders)
        QVERIFY2(QFileInfo(tree.filePath(folder)).isDir(), qPrintable(folder));
    if (result == 99)
        QVERIFY(!QFileInfo::exists(QString::fromUtf8(base + target)));
}

void TestKvDir::createAppliesMode()
{
    const mode_t saved = umask(022);
    const QByteArray folder = path("private/inner");
    QCOMPARE(kv_dir_create(folder.constData(), 0700, 1), 0);
    umask(saved);
    kv_stat_t st;
    QCOMPARE(kv_file_stat(folder.constData(), &st, 0), 0);
    QCOMPARE(st.mode & 0777, 0700);
    QCOMPARE(st.type, KV_FTYPE_DIR);
}

void TestKvDir::createConcurrently()
{
    // Processes writing logs may create the same folder at once: all of them succeed.
    const QByteArray folder = path("race/a/b/c/d/e");
    std::atomic<int> failures { 0 };
    std::vector<std::thread> threads;
    for (int i = 0; i < 6; ++i)
        threads.emplace_back([&] {
            if (kv_dir_create(folder.constData(), 0755, 1) != 0)
                ++failures;
        });
    for (std::thread& t : threads)
        t.join();
    QCOMPARE(failures.load(), 0);
    QVERIFY(QFileInfo(QString::fromUtf8(folder)).isDir());
}

void TestKvDir::deleteFolder()
{
    const QByteArray folder = path("del");
    QVERIFY(QDir().mkpath(QString::fromUtf8(folder + "/a/b/c")));
    QVERIFY(QDir().mkpath(QString::fromUtf8(folder + "/d")));
    touch(folder + "/f");
    touch(folder + "/a/b/g");
    QCOMPARE(kv_file_symlink("/nonexistent", (folder + "/a/dangling").constData()), 0);

    QCOMPARE(kv_dir_delete(folder.constData(), 0), int(ENOTEMPTY));
    QCOMPARE(kv_dir_delete(folder.constData(), 1), 0);
    QVERIFY(!QFileInfo::exists(QString::fromUtf8(folder)));
    QCOMPARE(kv_dir_delete(folder.constData(), 1), int(ENOENT));

    QVERIFY(QDir().mkpath(QString::fromUtf8(folder)));
    QCOMPARE(kv_dir_delete(folder.constData(), 0), 0);
    QVERIFY(!QFileInfo::exists(QString::fromUtf8(folder)));
}

void TestKvDir::deleteNeverFollowsLinks()
{
    const QByteArray outside = path("keep");
    QVERIFY(QDir().mkpath(QString::fromUtf8(outside + "/inner")));
    touch(outside + "/precious");
    touch(outside + "/inner/precious");

    // A link inside the tree goes; what it points to stays.
    const QByteArray tree = path("tree");
    QVERIFY(QDir().mkpath(QString::fromUtf8(tree + "/sub")));
    QCOMPARE(kv_file_symlink(outside.constData(), (tree + "/sub/link").constData()), 0);
    QCOMPARE(kv_file_symlink("..", (tree + "/sub/up").constData()), 0);
    QCOMPARE(kv_dir_delete(tree.constData(), 1), 0);
    QVERIFY(!QFileInfo::exists(QString::fromUtf8(tree)));
    QVERIFY(QFileInfo::exists(QString::fromUtf8(outside + "/precious")));
    QVERIFY(QFileInfo::exists(QString::fromUtf8(outside + "/inner/precious")));

    // A link named as the folder to delete: the link goes, its target stays whole.
    const QByteArray link = path("link-to-keep");
    QCOMPARE(kv_file_symlink(outside.constData(), link.constData()), 0);
    QCOMPARE(kv_dir_delete(link.constData(), 1), 0);
    QVERIFY(!QFileInfo(QString::fromUtf8(link)).isSymLink());
    QVERIFY(QFileInfo::exists(QString::fromUtf8(outside + "/inner/precious")));
}

void TestKvDir::deleteStopsOnLoop()
{
    const QByteArray folder = path("loop-del");
    QVERIFY(QDir().mkpath(QString::fromUtf8(folder)));
    BindLoop loop(folder);
    if (!loop.mounted())
        QSKIP("bind mounts are not permitted here");
    QCOMPARE(kv_dir_delete(folder.constData(), 1), int(ELOOP));
}

void TestKvDir::walkSequence()
{
    // A folder holding one file and one empty folder.
    const QByteArray root = path("walk1");
    QVERIFY(QDir().mkpath(QString::fromUtf8(root + "/sub")));
    touch(root + "/file");

    QList<Step> expected;
    for (const QByteArray& name : ::listing(root)) {
        if (name == "file")
            expected.append({ root + "/file", KV_WALK_FILE, 0 });
        else
            expected << Step { root + "/sub", KV_WALK_DIR, 0 } << Step { "..", KV_WALK_END, 0 };
    }
    expected.append({ "..", KV_WALK_END, 0 });

    kv_dir_walk_t* walk = nullptr;
    QCOMPARE(kv_dir_walk_init(&walk, root.constData()), 0);
    QVERIFY(walk);
    QCOMPARE(describe(walkAll(walk)), describe(expected));
    char out[KV_PATH_MAX];
    int kind = 0;
    QCOMPARE(kv_dir_walk_iterate(walk, out, sizeof out, &kind), int(KV_EEND));
    QCOMPARE(kv_dir_walk_release(&walk), 0);
    QVERIFY(!walk);
}

void TestKvDir::walkNested()
{
    const QByteArray root = path("walk2");
    QVERIFY(QDir().mkpath(QString::fromUtf8(root + "/d1/d2")));
    touch(root + "/d1/d2/f");
    QCOMPARE(kv_file_symlink(root.constData(), (root + "/d1/back").constData()), 0);
    QCOMPARE(mkfifo((root + "/fifo").constData(), 0600), 0);

    kv_dir_walk_t* walk = nullptr;
    QCOMPARE(kv_dir_walk_init(&walk, (root + "/").constData()), 0);
    const QList<Step> steps = walkAll(walk);
    kv_dir_walk_release(&walk);

    // Depth first: every folder's entry, its contents, its end; links not entered.
    QList<int> depth { 0 };
    QStringList seen;
    for (const Step& step : steps) {
        QCOMPARE(step.result, 0);
        if (step.kind == KV_WALK_END) {
            QCOMPARE(step.path, QByteArray(".."));
            depth.removeLast();
            continue;
        }
        seen << QString::fromUtf8(step.path.mid(root.size() + 1)) + ":" + QString::number(step.kind);
        if (step.kind == KV_WALK_DIR)
            depth.append(0);
    }
    QVERIFY(depth.isEmpty());
    seen.sort();
    QCOMPARE(seen, (QStringList { "d1/back:6", "d1/d2/f:1", "d1/d2:2", "d1:2", "fifo:6" }));
    QCOMPARE(steps.size(), 5 + 3);
}

void TestKvDir::walkSingleFileAndRejects()
{
    const QByteArray file = path("single");
    touch(file);
    kv_dir_walk_t* walk = nullptr;
    QCOMPARE(kv_dir_walk_init(&walk, file.constData()), 0);
    QCOMPARE(describe(walkAll(walk)), describe({ { file, KV_WALK_FILE, 0 } }));
    kv_dir_walk_release(&walk);

    const QByteArray link = path("single-link");
    QCOMPARE(kv_file_symlink(m_dir.path().toUtf8().constData(), link.constData()), 0);
    walk = reinterpret_cast<kv_dir_walk_t*>(&walk); // must be reset on failure
    QCOMPARE(kv_dir_walk_init(&walk, link.constData()), int(KV_ERR_DIRECTORY));
    QVERIFY(!walk);
    QCOMPARE(kv_dir_walk_init(&walk, path("missing").constData()), int(ENOENT));
    QVERIFY(!walk);
    QCOMPARE(kv_dir_walk_init(&walk, QByteArray(KV_PATH_MAX, 'a').constData()), int(KV_ENOSPACE));
    QVERIFY(!walk);
}

void TestKvDir::walkPopAndRelease()
{
    const QByteArray root = path("walk3");
    QVERIFY(QDir().mkpath(QString::fromUtf8(root + "/only/deeper")));
    touch(root + "/only/deeper/f");

    kv_dir_walk_t* walk = nullptr;
    QCOMPARE(kv_dir_walk_init(&walk, root.constData()), 0);
    char out[KV_PATH_MAX];
    int kind = 0;
    QCOMPARE(kv_dir_walk_iterate(walk, out, sizeof out, &kind), 0);
    QCOMPARE(QByteArray(out), root + "/only");
    QCOMPARE(kind, KV_WALK_DIR);
    // Leaving "only" at once: the walk goes on in the root, whose end is next.
    QCOMPARE(kv_dir_walk_pop(walk), 0);
    QCOMPARE(kv_dir_walk_iterate(walk, out, sizeof out, &kind), 0);
    QCOMPARE(kind, KV_WALK_END);
    QCOMPARE(kv_dir_walk_iterate(walk, out, sizeof out, &kind), int(KV_EEND));
    QCOMPARE(kv_dir_walk_pop(walk), int(EINVAL));
    kv_dir_walk_release(&walk);

    // An output too small for an entry reports it; releasing mid-walk frees every level.
    QCOMPARE(kv_dir_walk_init(&walk, root.constData()), 0);
    QCOMPARE(kv_dir_walk_iterate(walk, out, root.size() + 2, &kind), int(KV_ENOSPACE));
    kv_dir_walk_release(&walk);
    QCOMPARE(kv_dir_walk_init(&walk, root.constData()), 0);
    QCOMPARE(kv_dir_walk_iterate(walk, out, sizeof out, &kind), 0);
    QCOMPARE(kv_dir_walk_iterate(walk, out, sizeof out, &kind), 0);
    QCOMPARE(QByteArray(out), root + "/only/deeper");
    QCOMPARE(kv_dir_walk_release(&walk), 0);
    QVERIFY(!walk);
}

void TestKvDir::walkStopsOnLoop()
{
    const QByteArray folder = path("loop-walk");
    QVERIFY(QDir().mkpath(QString::fromUtf8(folder)));
    touch(folder + "/f");
    BindLoop loop(folder);
    if (!loop.mounted())
        QSKIP("bind mounts are not permitted here");
    kv_dir_walk_t* walk = nullptr;
    QCOMPARE(kv_dir_walk_init(&walk, folder.constData()), 0);
    const QList<Step> steps = walkAll(walk, 100);
    kv_dir_walk_release(&walk);
    QList<Step> expected;
    for (const QByteArray& name : ::listing(folder))
        expected.append({ folder + "/" + name, name == "f" ? KV_WALK_FILE : KV_WALK_DIR, name == "f" ? 0 : ELOOP });
    expected.append({ "..", KV_WALK_END, 0 });
    QCOMPARE(describe(steps), describe(expected));
}

QTEST_GUILESS_MAIN(TestKvDir)
#include "test_kv_dir.moc"
