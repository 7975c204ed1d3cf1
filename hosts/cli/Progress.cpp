#include "Progress.h"

#include <chrono>
#include <ostream>
#include <string>

namespace MrvnCli {

double MrvnProgressBar::SteadySeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

MrvnProgressBar::MrvnProgressBar(std::ostream& stream, bool enabled, Clock clock)
    : m_stream(stream), m_enabled(enabled), m_clock(std::move(clock)),
      m_start(m_enabled ? m_clock() : 0.0) {}

MrvnProgressBar::~MrvnProgressBar() {
    Finish();
}

void MrvnProgressBar::Update(UInt64 done, UInt64 total) {
    if (!m_enabled || total == 0) {
        return;
    }
    const double now = m_clock();
    if (now - m_start < kDelaySeconds || (m_drawn && now - m_lastDraw < kRedrawSeconds)) {
        return;
    }
    const UInt64 clamped = done < total ? done : total;
    const int percent = int(clamped * 100 / total);
    if (percent == m_lastPercent) {
        return;
    }
    const int filled = int(clamped * kWidth / total);
    m_stream << "\rrendering [" << std::string(std::size_t(filled), '#')
             << std::string(std::size_t(kWidth - filled), ' ') << "] "
             << (percent < 10    ? "  "
                 : percent < 100 ? " "
                                 : "")
             << percent << '%' << std::flush;
    m_lastDraw = now;
    m_lastPercent = percent;
    m_drawn = true;
}

void MrvnProgressBar::Finish() {
    if (m_drawn) {
        m_stream << "\r\033[K" << std::flush;
        m_drawn = false;
    }
}

} // namespace MrvnCli
