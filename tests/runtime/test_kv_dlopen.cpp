// Other programs find the runtime's functions by name.
#include <QTest>

#include <cstring>
#include <dlfcn.h>

class TestKvDlopen : public QObject {
    Q_OBJECT

private slots:
    void functionsByName()
    {
        void* lib = dlopen(KV_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
        QVERIFY2(lib, dlerror());

        using StrTo = int (*)(char*, const char*, unsigned, unsigned*);
        auto strTo = reinterpret_cast<StrTo>(dlsym(lib, "kv_str_to"));
        QVERIFY(strTo);
        char buffer[4];
        unsigned pos = 0;
        QCOMPARE(strTo(buffer, "abcdef", sizeof buffer, &pos), 0x7005);
        QCOMPARE(QByteArray(buffer), QByteArray("abc"));

        using Swap = unsigned long long (*)(unsigned long long);
        auto swap = reinterpret_cast<Swap>(dlsym(lib, "kv_ntohll"));
        QVERIFY(swap);
        QCOMPARE(swap(0x0102030405060708ull), 0x0807060504030201ull);

        using ErrStr = int (*)(int, char*, int);
        auto errstr = reinterpret_cast<ErrStr>(dlsym(lib, "kv_platform_errstr"));
        QVERIFY(errstr);
        char text[64];
        QCOMPARE(errstr(0x7006, text, sizeof text), 0);
        QCOMPARE(QByteArray(text), QByteArray("End or directory reached"));

        // Internal helpers stay hidden.
        QVERIFY(!dlsym(lib, "_ZN2kv8internal16libraryErrorTextEi"));
        QCOMPARE(dlclose(lib), 0);
    }
};

QTEST_GUILESS_MAIN(TestKvDlopen)
#include "test_kv_dlopen.moc"
