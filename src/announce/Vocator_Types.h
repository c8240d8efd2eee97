#pragma once
#include <QString>
#include <cstdint>

// One queued speech message.
struct TTTSMsg {
    QString Message;       // spoken unchanged
    std::int32_t Voice = 0; // every producer stores 0; speaking ignores it
};
