#pragma once

#include <QCoreApplication>
#include <QMetaObject>

#include <utility>

// Runs f later on the main thread, from its event loop. Dropped when the application is gone.
template <typename F> void dispatchToMainQueue(F&& f)
{
    if (QCoreApplication* app = QCoreApplication::instance())
        QMetaObject::invokeMethod(app, std::forward<F>(f), Qt::QueuedConnection);
}
