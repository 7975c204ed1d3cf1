// A real `fluxet live` process spoken to by liblo's oscsend and heard by liblo's oscdump: an
// OSC implementation of its own on the other side. Everything stays on 127.0.0.1.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "FluxetParameters.h"
#include "OscTestSupport.h"
#include "Preferences.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// A program with its standard output read line by line.
class Child {
public:
    explicit Child(std::vector<std::string> args) {
        int output[2];
        if (pipe(output) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, output[0]);
        std::vector<char*> argv;
        for (std::string& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        if (posix_spawnp(&m_pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
            m_pid = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(output[1]);
        m_output = output[0];
    }
    ~Child() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            Wait();
        }
        if (m_output >= 0) {
            close(m_output);
        }
    }

    bool Started() const { return m_pid > 0; }
    void Signal(int signal) const { kill(m_pid, signal); }
    int Wait() {
        int status = 0;
        if (m_pid > 0 && waitpid(m_pid, &status, 0) == m_pid) {
            m_pid = -1;
        }
        return status;
    }

    // The lines printed so far, reading until `enough` holds or 20 seconds have passed.
    template <class Enough> const std::vector<std::string>& ReadUntil(Enough enough) {
        const auto deadline = Clock::now() + std::chrono::seconds(20);
        while (!enough(m_lines) && Clock::now() < deadline) {
            pollfd ready{m_output, POLLIN, 0};
            if (poll(&ready, 1, 100) <= 0) {
                continue;
            }
            char buffer[4096];
            const ssize_t got = read(m_output, buffer, sizeof buffer);
            if (got <= 0) {
                break;
            }
            m_partial.append(buffer, std::size_t(got));
            for (std::size_t end = m_partial.find('\n'); end != std::string::npos;
                 end = m_partial.find('\n')) {
                m_lines.push_back(m_partial.substr(0, end));
                m_partial.erase(0, end + 1);
            }
        }
        return m_lines;
    }

private:
    pid_t m_pid = -1;
    int m_output = -1;
    std::string m_partial;
    std::vector<std::string> m_lines;
};

bool Installed(const char* program) {
    return std::system((std::string("command -v ") + program + " >/dev/null 2>&1").c_str()) == 0;
}

int RunProgram(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    std::vector<std::string> copy = args;
    for (std::string& arg : copy) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
        return -1;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

std::size_t CountStartingWith(const std::vector<std::string>& lines, const std::string& prefix) {
    std::size_t count = 0;
    for (const std::string& line : lines) {
        count += line.find(prefix) != std::string::npos ? 1 : 0;
    }
    return count;
}

bool Has(const std::vector<std::string>& lines, const std::string& text) {
    return CountStartingWith(lines, text) != 0;
}

TEST(OSCInterop, LiveAnswersLibloClients) {
    if (!Installed("oscsend") || !Installed("oscdump")) {
        GTEST_SKIP() << "liblo-tools (oscsend, oscdump) is not installed";
    }
    MV::test::TemporaryPreferences preferences;
    SetPrefString(kPrefOSCBindAddress, "127.0.0.1");
    const std::filesystem::path scripts = std::filesystem::path(preferences.Folder()) / "scripts";
    std::filesystem::create_directories(scripts);
    std::ofstream(scripts / "remote.lua") << "function sum(a, b) return a + b, \"sum\" end\n";

    const int base = MV::test::FindFreeBasePort({5, 50});
    const int port = base + 5;
    const std::string dump = std::to_string(base + 50);
    const std::string replyTo = "127.0.0.1:" + dump;

    Child live({FLUXET_PROGRAM, "live", "--duration", "120", "--osc-base-port",
                std::to_string(base), "--set", "OSC Port Offset=5", "--scripts", scripts.string()});
    ASSERT_TRUE(live.Started());
    const auto& banner =
        live.ReadUntil([](const auto& lines) { return Has(lines, "running; stop with Ctrl-C"); });
    ASSERT_TRUE(Has(
        banner, "OSC: listening on UDP port " + std::to_string(port) +
                    " (127.0.0.1): Fluxet 1.2.1 at osc.udp://127.0.0.1:" + std::to_string(port)))
        << ::testing::PrintToString(banner);
    EXPECT_TRUE(Has(banner, "OSC: published as ") || Has(banner, "OSC: not published") ||
                Has(banner, "OSC: publishing as "));

    Child listener({"oscdump", "-L", dump});
    ASSERT_TRUE(listener.Started());
    ASSERT_TRUE(MV::test::WaitUntil([&] { return !MV::test::IsUdpPortFree(base + 50); }));

    const std::string server = std::to_string(port);
    const auto send = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"oscsend", "127.0.0.1", server});
        EXPECT_EQ(RunProgram(args), 0) << ::testing::PrintToString(args);
    };
    send({"/ping", "ss", replyTo, "/pong"});
    send({"/registerUpdate", "iss", "3", replyTo, "/changed"});
    send({"/set", "if", "3", "0.5"});
    send({"/getInfo", "iss", "15", replyTo, "/info"});
    send({"/call", "sssii", "sum", replyTo, "/sum", "2", "3"});
    send({"/getAll", "ss", replyTo, "/all"});

    // The change notification comes from the server's notify task, maybe after the rest.
    const auto& heard = listener.ReadUntil([](const auto& lines) {
        return CountStartingWith(lines, " /all if ") == 16 && Has(lines, "/changed ");
    });
    EXPECT_TRUE(Has(heard, "/pong ss \"osc.udp://127.0.0.1:" + server + "\" \"Fluxet 1.2.1\""))
        << ::testing::PrintToString(heard);
    EXPECT_TRUE(Has(heard, "/changed if 3 0.500000"));
    EXPECT_TRUE(Has(heard, "/info ifffsi 15 0.000000 100.000000 0.000000 \"OSC Port Offset\" " +
                               std::to_string(astParamInfos[15].unit)));
    EXPECT_TRUE(Has(heard, "/sum fs 5.000000 \"sum\""));
    ASSERT_EQ(CountStartingWith(heard, " /all if "), 16u);
    EXPECT_TRUE(Has(heard, "/all if 3 0.500000"));
    EXPECT_TRUE(Has(heard, "/all if 15 5.000000"));

    live.Signal(SIGINT);
    const auto& ending =
        live.ReadUntil([](const auto& lines) { return Has(lines, "stopped after "); });
    EXPECT_TRUE(Has(ending, "stopped after "));
    const int status = live.Wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

} // namespace
