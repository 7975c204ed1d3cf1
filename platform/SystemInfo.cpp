#include "SystemInfo.h"

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace MV {

namespace {

std::atomic<AlertWindowHook> g_alertWindowHook{nullptr};

} // namespace

std::uint64_t UpTimeNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::uint64_t(now.tv_sec) * 1000000000u + std::uint64_t(now.tv_nsec);
}

std::string ComputerName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0) {
        return {};
    }
    return name;
}

std::string EnvironmentValue(const char* name) {
    // getenv races only with setenv, which nothing calls once threads run.
    const char* value = std::getenv(name); // NOLINT(concurrency-mt-unsafe)
    return value != nullptr ? value : std::string();
}

std::string HomeDirectory() {
    if (std::string home = EnvironmentValue("HOME"); !home.empty() && home[0] == '/') {
        return home;
    }
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? std::size_t(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
        found != nullptr && found->pw_dir != nullptr && found->pw_dir[0] == '/') {
        return found->pw_dir;
    }
    return {};
}

void Alert(const std::string& text) {
    // One write, so that lines from several threads do not interleave.
    std::string line = text;
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
    if (AlertWindowHook hook = g_alertWindowHook.load(std::memory_order_acquire)) {
        hook(text.c_str());
    }
}

void SetAlertWindowHook(AlertWindowHook hook) {
    g_alertWindowHook.store(hook, std::memory_order_release);
}

} // namespace MV
