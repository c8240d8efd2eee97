#pragma once
#include <QString>
#include <functional>
#include <vector>

// Request rates measured in repetitions of equal length, and the loop that measures a
// request/response exchange on a worker thread while the main thread serves Qt's events.

struct TTiming {
    double Seconds = 1.0;  // length of one repetition
    int Repetitions = 5;
    double WarmUp = 0.2;   // seconds of exchanges before the first repetition
};

struct TRates {
    QString Name;
    std::vector<double> PerSecond; // one per repetition
    QString Error;                 // why it could not be measured; empty when it was

    double Min() const;
    double Median() const;
    double Max() const;
};

// Calls exchange in a loop on a worker thread, counting the calls per repetition; the calling
// (main) thread runs an event loop meanwhile, so that the exchange may hand over to it. An
// exchange that returns false ends the measurement with an error.
std::vector<double> MeasureOnWorker(const std::function<bool()>& exchange, const TTiming& timing, QString& error);

// Runs the main thread's event loop for the given time and gives the seconds that passed.
double ServeEventsFor(double seconds);
