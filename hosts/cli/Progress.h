// A progress bar on a terminal for work that takes more than a second.
#pragma once

#include <functional>
#include <iosfwd>

#include "AUTypes.h"

namespace MrvnCli {

class MrvnProgressBar {
public:
    // Seconds from any fixed origin.
    using Clock = std::function<double()>;
    static double SteadySeconds();

    // Draws nothing unless enabled (standard error is a terminal).
    MrvnProgressBar(std::ostream& stream, bool enabled, Clock clock = &SteadySeconds);
    ~MrvnProgressBar();
    MrvnProgressBar(const MrvnProgressBar&) = delete;
    MrvnProgressBar& operator=(const MrvnProgressBar&) = delete;

    // Shows done of total once a second has passed since construction, redrawn when the
    // shown percentage changes and at most ten times a second. A total of 0 shows nothing.
    void Update(UInt64 done, UInt64 total);
    // Clears the bar's line when one was drawn.
    void Finish();

    static constexpr double kDelaySeconds = 1.0;
    static constexpr double kRedrawSeconds = 0.1;
    static constexpr int kWidth = 40;

private:
    std::ostream& m_stream;
    bool m_enabled;
    Clock m_clock;
    double m_start;
    double m_lastDraw = 0.0;
    int m_lastPercent = -1;
    bool m_drawn = false;
};

} // namespace MrvnCli
