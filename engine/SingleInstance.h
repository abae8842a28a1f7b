// The one way this code base keeps a process-wide object (the two managers and
// the window's dialogs). Each such class T offers
//
//     static T* instance();       // SingleInstance<T>::get()
//     static void destroyInstance(); // SingleInstance<T>::destroy()
//
// and makes this template a friend of its private constructor and destructor.
// instance() builds the object on its first call; destroyInstance() deletes it
// (the next instance() builds a new one). The owner, and only the owner, calls
// destroyInstance(), in an order it states where it does so. The object never
// deletes itself.
//
// The first call must come from the main thread (the application object's): the
// object then belongs to that thread, so its slots, timers and deferred deletions
// run there. A first call from another thread (a background task reaching for a
// manager nobody built yet) is a programming error that debug builds stop at.
// Later calls may come from any thread that the owner's order keeps from racing
// destroyInstance().
#pragma once

#include <QCoreApplication>
#include <QThread>

#include <utility>

template <typename T> class SingleInstance {
public:
    static T* get()
    {
        if (!s_object) {
            Q_ASSERT_X(onMainThread(), "instance()", "the first call must come from the main thread");
            s_object = new T();
        }
        return s_object;
    }

    static void destroy()
    {
        // Forgotten before the destructor runs, so nothing it reaches is handed a
        // half-destroyed object.
        delete std::exchange(s_object, nullptr);
    }

private:
    static bool onMainThread()
    {
        const QCoreApplication* app = QCoreApplication::instance();
        return app && QThread::currentThread() == app->thread();
    }

    static inline T* s_object = nullptr;
};
