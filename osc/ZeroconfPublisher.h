// Publication of network services by DNS-SD through the Avahi daemon.
//
// One Avahi client and one event thread serve the whole process; each published service is an
// entry group of its own. When no daemon can be reached, one line says so on standard output
// (once per process) and publishing quietly does nothing; a daemon that appears later picks
// up every service still published.
#pragma once

#include <memory>
#include <optional>
#include <string>

namespace MV {

class ZeroconfService {
public:
    // Any non-real-time thread. Publishes `name` (an alternative is chosen when another host
    // or instance already uses it) with `type`, for example "_osc._udp", in the default
    // domain on every allowed interface.
    static std::unique_ptr<ZeroconfService> Publish(const std::string& name, const char* type,
                                                    int port);

    // Withdraws the service.
    ~ZeroconfService();
    ZeroconfService(const ZeroconfService&) = delete;
    ZeroconfService& operator=(const ZeroconfService&) = delete;

    // The name the service is published under now: the requested one, or the alternative
    // chosen after a name conflict. Any thread.
    std::string Name() const;
    int Port() const;
    // True once the daemon has confirmed the publication. Any thread.
    bool IsEstablished() const;

    // A service of this process on `port`: its name now and whether the daemon confirmed it.
    // For programs that show where they can be found. Any thread.
    struct Published {
        std::string name;
        bool established = false;
    };
    static std::optional<Published> Find(int port);
    // True while an Avahi daemon answers (publications then get confirmed). Any thread.
    static bool DaemonReachable();

    struct Entry; // behind the process-wide publisher's lock

private:
    explicit ZeroconfService(Entry* entry) : m_entry(entry) {}
    Entry* m_entry;
};

} // namespace MV
