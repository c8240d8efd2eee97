#pragma once
#include <QString>
#include <functional>

// Where run-time errors reported by code go. The error terminal registers its destination here;
// until one is registered, reporting raises the error system's "no destination" exception.
using TRunTimeErrorHandler = std::function<int(int code, const QString& text)>;

void SetRunTimeErrorHandler(TRunTimeErrorHandler handler);
// Gives the destination's result, or raises Exception when there is none.
int DoRunTimeError(int code, const QString& text);
