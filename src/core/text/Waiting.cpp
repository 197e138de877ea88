#include "core/text/Waiting.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <QTimer>

#include <algorithm>

namespace waiting {

bool onApplicationThread() {
    const QCoreApplication* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

int msUntil(Clock::time_point t) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(t - Clock::now());
    return int(std::max<std::chrono::milliseconds::rep>(0, left.count()));
}

bool sleepInEventLoop(std::mutex& mutex, std::vector<QAbstractEventDispatcher*>& sleepers,
                      const std::function<bool()>& woken, Clock::time_point until) {
    QEventLoop loop;
    QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
    {
        std::lock_guard<std::mutex> g(mutex);
        if (woken()) return true;
        sleepers.push_back(dispatcher);
    }
    QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, &loop, [&] {
        std::lock_guard<std::mutex> g(mutex);
        if (woken()) loop.quit();
    });
    QTimer timer;
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    timer.start(msUntil(until));
    const int ran = loop.exec();
    {
        std::lock_guard<std::mutex> g(mutex);
        sleepers.erase(std::find(sleepers.begin(), sleepers.end(), dispatcher));
    }
    return ran >= 0;
}

}   // namespace waiting
