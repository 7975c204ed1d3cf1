#include "ZeroconfPublisher.h"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/thread-watch.h>

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <vector>

namespace MV {

struct ZeroconfService::Entry {
    std::string name;
    std::string type;
    int port = 0;
    AvahiEntryGroup* group = nullptr;
    bool established = false;
};

namespace {

// The process-wide client. Everything below runs with the threaded poll's lock held: the
// public operations take it, and Avahi holds it while it calls the callbacks. The event
// thread and the client exist while there is a service to publish: the last one withdrawn
// ends them, so that a process whose effects are all closed keeps no thread of ours.
class Publisher {
public:
    static Publisher& Instance() {
        // Never destroyed: services may be withdrawn by objects that outlive static
        // destruction, and the event thread may still be running at exit.
        static Publisher* publisher = new Publisher;
        return *publisher;
    }

    ZeroconfService::Entry* Add(const std::string& name, const char* type, int port) {
        auto* entry = new ZeroconfService::Entry{name, type, port};
        const std::lock_guard life(m_lifecycle);
        if (m_poll == nullptr) {
            StartEventThread();
        }
        Lock lock(*this);
        m_entries.push_back(entry);
        if (m_poll == nullptr) {
            return entry; // no event thread: nothing can be published
        }
        if (m_client == nullptr) {
            Connect();
        } else if (avahi_client_get_state(m_client) == AVAHI_CLIENT_S_RUNNING) {
            Register(m_client, *entry);
        }
        return entry;
    }

    void Remove(ZeroconfService::Entry* entry) {
        const std::lock_guard life(m_lifecycle);
        {
            Lock lock(*this);
            FreeGroup(*entry);
            m_entries.erase(std::remove(m_entries.begin(), m_entries.end(), entry),
                            m_entries.end());
        }
        delete entry;
        if (m_entries.empty()) {
            StopEventThread();
        }
    }

    std::optional<ZeroconfService::Published> Find(int port) {
        const std::lock_guard life(m_lifecycle);
        Lock lock(*this);
        for (const ZeroconfService::Entry* entry : m_entries) {
            if (entry->port == port) {
                return ZeroconfService::Published{entry->name, entry->established};
            }
        }
        return std::nullopt;
    }

    bool DaemonReachable() {
        const std::lock_guard life(m_lifecycle);
        Lock lock(*this);
        if (m_client == nullptr) {
            return false;
        }
        const AvahiClientState state = avahi_client_get_state(m_client);
        return state == AVAHI_CLIENT_S_RUNNING || state == AVAHI_CLIENT_S_REGISTERING ||
               state == AVAHI_CLIENT_S_COLLISION;
    }

    template <class Result, class Read> Result Inspect(ZeroconfService::Entry* entry, Read read) {
        const std::lock_guard life(m_lifecycle);
        Lock lock(*this);
        return read(*entry);
    }

private:
    struct Lock {
        explicit Lock(Publisher& publisher) : m_publisher(publisher) {
            if (m_publisher.m_poll != nullptr) {
                avahi_threaded_poll_lock(m_publisher.m_poll);
            } else {
                m_publisher.m_fallback.lock();
            }
        }
        ~Lock() {
            if (m_publisher.m_poll != nullptr) {
                avahi_threaded_poll_unlock(m_publisher.m_poll);
            } else {
                m_publisher.m_fallback.unlock();
            }
        }
        Publisher& m_publisher;
    };

    Publisher() = default;

    // Under m_lifecycle, with no event thread.
    void StartEventThread() {
        m_poll = avahi_threaded_poll_new();
        if (m_poll != nullptr && avahi_threaded_poll_start(m_poll) < 0) {
            avahi_threaded_poll_free(m_poll);
            m_poll = nullptr;
        }
        if (m_poll == nullptr) {
            ReportUnavailable("cannot start the Avahi event thread");
        }
    }

    // Under m_lifecycle, with no entry left. The thread ends first, so the client goes
    // while nothing else uses it.
    void StopEventThread() {
        if (m_poll == nullptr) {
            return;
        }
        avahi_threaded_poll_stop(m_poll);
        if (m_client != nullptr) {
            avahi_client_free(m_client);
            m_client = nullptr;
        }
        avahi_threaded_poll_free(m_poll);
        m_poll = nullptr;
    }

    // Waits for the daemon when it is not there yet (and again after it went away), so
    // services reappear by themselves once one runs.
    void Connect() {
        int error = 0;
        m_client = avahi_client_new(avahi_threaded_poll_get(m_poll), AVAHI_CLIENT_NO_FAIL,
                                    &Publisher::ClientChanged, this, &error);
        if (m_client == nullptr) {
            // Without a system message bus there is nothing to wait on; the next service
            // tries again.
            ReportUnavailable(avahi_strerror(error));
        }
    }

    static void ClientChanged(AvahiClient* client, AvahiClientState state, void* context) {
        auto& self = *static_cast<Publisher*>(context);
        switch (state) {
        case AVAHI_CLIENT_S_RUNNING:
            for (ZeroconfService::Entry* entry : self.m_entries) {
                if (entry->group == nullptr) {
                    self.Register(client, *entry);
                }
            }
            break;
        case AVAHI_CLIENT_S_COLLISION:
        case AVAHI_CLIENT_S_REGISTERING:
            // The host name changes: publish everything again once the server runs.
            for (ZeroconfService::Entry* entry : self.m_entries) {
                self.FreeGroup(*entry);
            }
            break;
        case AVAHI_CLIENT_CONNECTING:
            ReportUnavailable("waiting for avahi-daemon to start");
            break;
        case AVAHI_CLIENT_FAILURE: {
            for (ZeroconfService::Entry* entry : self.m_entries) {
                self.FreeGroup(*entry);
            }
            const int error = avahi_client_errno(client);
            avahi_client_free(client);
            self.m_client = nullptr;
            if (error == AVAHI_ERR_DISCONNECTED) {
                self.Connect(); // the daemon went away: wait for the next one
            } else {
                ReportUnavailable(avahi_strerror(error));
            }
            break;
        }
        }
    }

    static void GroupChanged(AvahiEntryGroup* group, AvahiEntryGroupState state, void* context) {
        auto& entry = *static_cast<ZeroconfService::Entry*>(context);
        if (entry.group != group && entry.group != nullptr) {
            return;
        }
        switch (state) {
        case AVAHI_ENTRY_GROUP_ESTABLISHED:
            entry.established = true;
            break;
        case AVAHI_ENTRY_GROUP_COLLISION: {
            // Another instance or host has the name: take the next alternative.
            entry.established = false;
            NextName(entry);
            avahi_entry_group_reset(group);
            AddAndCommit(group, entry);
            break;
        }
        case AVAHI_ENTRY_GROUP_FAILURE:
            entry.established = false;
            break;
        case AVAHI_ENTRY_GROUP_UNCOMMITED:
        case AVAHI_ENTRY_GROUP_REGISTERING:
            break;
        }
    }

    static void NextName(ZeroconfService::Entry& entry) {
        char* alternative = avahi_alternative_service_name(entry.name.c_str());
        if (alternative != nullptr) {
            entry.name = alternative;
            avahi_free(alternative);
        }
    }

    static bool AddAndCommit(AvahiEntryGroup* group, ZeroconfService::Entry& entry) {
        for (int attempt = 0; attempt < 100; ++attempt) {
            const int result = avahi_entry_group_add_service(
                group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0),
                entry.name.c_str(), entry.type.c_str(), nullptr, nullptr, uint16_t(entry.port),
                nullptr);
            if (result == AVAHI_ERR_COLLISION) {
                NextName(entry);
                continue;
            }
            return result >= 0 && avahi_entry_group_commit(group) >= 0;
        }
        return false;
    }

    void Register(AvahiClient* client, ZeroconfService::Entry& entry) {
        AvahiEntryGroup* group = avahi_entry_group_new(client, &Publisher::GroupChanged, &entry);
        if (group == nullptr) {
            return;
        }
        entry.group = group;
        if (!AddAndCommit(group, entry)) {
            FreeGroup(entry);
        }
    }

    void FreeGroup(ZeroconfService::Entry& entry) {
        if (entry.group != nullptr) {
            avahi_entry_group_free(entry.group);
            entry.group = nullptr;
        }
        entry.established = false;
    }

    static void ReportUnavailable(const char* reason) {
        static std::once_flag reported;
        std::call_once(reported, [reason] {
            std::printf("Zeroconf: no Avahi daemon reachable (%s); OSC works without publication\n",
                        reason);
            std::fflush(stdout);
        });
    }

    // Taken first by every public operation: the event thread starts and stops under it.
    std::mutex m_lifecycle;
    AvahiThreadedPoll* m_poll = nullptr;
    AvahiClient* m_client = nullptr;
    std::vector<ZeroconfService::Entry*> m_entries;
    std::mutex m_fallback;
};

} // namespace

std::unique_ptr<ZeroconfService> ZeroconfService::Publish(const std::string& name, const char* type,
                                                          int port) {
    return std::unique_ptr<ZeroconfService>(
        new ZeroconfService(Publisher::Instance().Add(name, type, port)));
}

ZeroconfService::~ZeroconfService() {
    Publisher::Instance().Remove(m_entry);
}

std::string ZeroconfService::Name() const {
    return Publisher::Instance().Inspect<std::string>(m_entry,
                                                      [](const Entry& e) { return e.name; });
}

std::optional<ZeroconfService::Published> ZeroconfService::Find(int port) {
    return Publisher::Instance().Find(port);
}

bool ZeroconfService::DaemonReachable() {
    return Publisher::Instance().DaemonReachable();
}

int ZeroconfService::Port() const {
    return m_entry->port; // fixed at publication
}

bool ZeroconfService::IsEstablished() const {
    return Publisher::Instance().Inspect<bool>(m_entry,
                                               [](const Entry& e) { return e.established; });
}

} // namespace MV
