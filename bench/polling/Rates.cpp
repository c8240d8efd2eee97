#include "Rates.h"
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <thread>

namespace {

std::vector<double> Sorted(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values;
}

} // namespace

double TRates::Min() const { return PerSecond.empty() ? 0 : Sorted(PerSecond).front(); }
double TRates::Max() const { return PerSecond.empty() ? 0 : Sorted(PerSecond).back(); }

double TRates::Median() const
{
    if (PerSecond.empty())
        return 0;
    const std::vector<double> values = Sorted(PerSecond);
    const std::size_t half = values.size() / 2;
    return values.size() % 2 ? values[half] : (values[half - 1] + values[half]) / 2;
}

std::vector<double> MeasureOnWorker(const std::function<bool()>& exchange, const TTiming& timing, QString& error)
{
    using Clock = std::chrono::steady_clock;
    std::vector<double> rates;
    QEventLoop loop;
    std::thread worker([&] {
        const auto run = [&](double seconds, bool record) {
            const Clock::time_point start = Clock::now();
            const Clock::time_point end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
            long count = 0;
            Clock::time_point now = start;
            while (now < end) {
                if (!exchange())
                    return false;
                ++count;
                now = Clock::now();
            }
            if (record)
                rates.push_back(double(count) / std::chrono::duration<double>(now - start).count());
            return true;
        };
        bool ok = run(timing.WarmUp, false);
        for (int i = 0; ok && i < timing.Repetitions; ++i)
            ok = run(timing.Seconds, true);
        if (!ok)
            error = QStringLiteral("an exchange failed");
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    // A quit posted before the loop starts is served by it.
    loop.exec();
    worker.join();
    return rates;
}

double ServeEventsFor(double seconds)
{
    QElapsedTimer elapsed;
    elapsed.start();
    QEventLoop loop;
    QTimer::singleShot(int(seconds * 1000), &loop, &QEventLoop::quit);
    loop.exec();
    return double(elapsed.nsecsElapsed()) / 1e9;
}
