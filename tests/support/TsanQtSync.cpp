// ThreadSanitizer build only (KORVEL_TSAN): tells ThreadSanitizer the ordering that
// Qt's own locks give. Debian's Qt is not built with ThreadSanitizer, so the waits
// inside QReadWriteLock, QWaitCondition and QThread::wait() are invisible to it and
// every access they order looks like a race. Linked into the engine's and the
// command-line tool's executables, these definitions take the place of Qt's for
// the project's own calls: each calls Qt's function and adds the ordering as
// ThreadSanitizer annotations (release before a lock is given up or a thread ends,
// acquire after it is taken or waited for). They add no ordering that Qt does not
// give; readers of one QReadWriteLock are ordered among themselves too, which can
// only hide a race between two readers that both only read.
#include <QCoreApplication>
#include <QEvent>
#include <QMetaObject>
#include <QMutex>
#include <QReadWriteLock>
#include <QThread>
#include <QVariant>
#include <QWaitCondition>

#include <dlfcn.h>
#include <sanitizer/tsan_interface.h>

namespace {

template <typename Function> Function real(const char* name)
{
    void* symbol = dlsym(RTLD_NEXT, name);
    if (!symbol)
        qFatal("TsanQtSync: no %s in Qt", name);
    return reinterpret_cast<Function>(symbol);
}

} // namespace

void QReadWriteLock::lockForRead()
{
    static const auto lock = real<void (*)(QReadWriteLock*)>("_ZN14QReadWriteLock11lockForReadEv");
    lock(this);
    __tsan_acquire(this);
}

void QReadWriteLock::lockForWrite()
{
    static const auto lock = real<void (*)(QReadWriteLock*)>("_ZN14QReadWriteLock12lockForWriteEv");
    lock(this);
    __tsan_acquire(this);
}

void QReadWriteLock::unlock()
{
    static const auto unlockReal = real<void (*)(QReadWriteLock*)>("_ZN14QReadWriteLock6unlockEv");
    __tsan_release(this);
    unlockReal(this);
}

bool QWaitCondition::wait(QReadWriteLock* lockedReadWriteLock, QDeadlineTimer deadline)
{
    static const auto waitReal = real<bool (*)(QWaitCondition*, QReadWriteLock*, QDeadlineTimer)>(
        "_ZN14QWaitCondition4waitEP14QReadWriteLock14QDeadlineTimer");
    __tsan_release(lockedReadWriteLock);
    const bool woken = waitReal(this, lockedReadWriteLock, deadline);
    __tsan_acquire(lockedReadWriteLock);
    __tsan_acquire(this);
    return woken;
}

bool QWaitCondition::wait(QMutex* lockedMutex, QDeadlineTimer deadline)
{
    static const auto waitReal
        = real<bool (*)(QWaitCondition*, QMutex*, QDeadlineTimer)>("_ZN14QWaitCondition4waitEP6QMutex14QDeadlineTimer");
    // QMutex's own inline code is annotated; its release and retaking inside the wait are not.
    __tsan_mutex_pre_unlock(lockedMutex, 0);
    __tsan_mutex_post_unlock(lockedMutex, 0);
    const bool woken = waitReal(this, lockedMutex, deadline);
    __tsan_mutex_pre_lock(lockedMutex, 0);
    __tsan_mutex_post_lock(lockedMutex, 0, 0);
    __tsan_acquire(this);
    return woken;
}

void QWaitCondition::wakeOne()
{
    static const auto wake = real<void (*)(QWaitCondition*)>("_ZN14QWaitCondition7wakeOneEv");
    __tsan_release(this);
    wake(this);
}

void QWaitCondition::wakeAll()
{
    static const auto wake = real<void (*)(QWaitCondition*)>("_ZN14QWaitCondition7wakeAllEv");
    __tsan_release(this);
    wake(this);
}

// A thread's end: the last of its finished() handlers releases, a wait() that saw
// the thread end acquires.
void QThread::start(Priority priority)
{
    static const auto startReal = real<void (*)(QThread*, Priority)>("_ZN7QThread5startENS_8PriorityE");
    if (!property("_tsanEnd").toBool()) {
        setProperty("_tsanEnd", true);
        connect(
            this, &QThread::finished, this, [this] { __tsan_release(this); }, Qt::DirectConnection);
    }
    startReal(this, priority);
}

bool QThread::wait(QDeadlineTimer deadline)
{
    static const auto waitReal = real<bool (*)(QThread*, QDeadlineTimer)>("_ZN7QThread4waitE14QDeadlineTimer");
    const bool ended = waitReal(this, deadline);
    if (ended)
        __tsan_acquire(this);
    return ended;
}

// Queued calls to the main thread: a thread that emits a signal or invokes a
// functor releases, the main thread acquires before it delivers an event. Qt
// orders them the same way, through the receiving thread's posted-event list lock,
// which ThreadSanitizer cannot see.
namespace {

char g_posted;

class QueuedCallOrder : public QObject {
public:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        // Before the event is read: a posted event was made by the posting thread.
        __tsan_acquire(&g_posted);
        return QObject::eventFilter(watched, event);
    }
};

// Filters on the application see every event of the main thread's objects.
void installQueuedCallOrder()
{
    QCoreApplication::instance()->installEventFilter(new QueuedCallOrder);
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(installQueuedCallOrder)

void QMetaObject::activate(QObject* sender, const QMetaObject* metaObject, int localSignalIndex, void** argv)
{
    static const auto activateReal
        = real<void (*)(QObject*, const QMetaObject*, int, void**)>("_ZN11QMetaObject8activateEP7QObjectPKS_iPPv");
    __tsan_release(&g_posted);
    activateReal(sender, metaObject, localSignalIndex, argv);
    // Again after the events it posted were made; a main thread that is already
    // awake can take one before this, which Qt orders by a lock it alone sees.
    __tsan_release(&g_posted);
}

bool QMetaObject::invokeMethodImpl(
    QObject* object, QtPrivate::QSlotObjectBase* slot, Qt::ConnectionType type, void* ret)
{
    static const auto invokeReal = real<bool (*)(QObject*, QtPrivate::QSlotObjectBase*, Qt::ConnectionType, void*)>(
        "_ZN11QMetaObject16invokeMethodImplEP7QObjectPN9QtPrivate15QSlotObjectBaseEN2Qt14ConnectionTypeEPv");
    __tsan_release(&g_posted);
    const bool invoked = invokeReal(object, slot, type, ret);
    __tsan_release(&g_posted);
    return invoked;
}
