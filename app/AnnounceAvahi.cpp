#include "app/Announce.h"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/strlst.h>
#include <avahi-common/thread-watch.h>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cstdio>
#include <cstring>

#include "core/platform/SharedLibrary.h"

namespace tarvel {

namespace {

// The Avahi calls made; libavahi-client.so.3 brings libavahi-common.so.3.
struct AvahiApi {
  decltype(&avahi_threaded_poll_new) pollNew;
  decltype(&avahi_threaded_poll_get) pollGet;
  decltype(&avahi_threaded_poll_start) pollStart;
  decltype(&avahi_threaded_poll_stop) pollStop;
  decltype(&avahi_threaded_poll_free) pollFree;
  decltype(&avahi_client_new) clientNew;
  decltype(&avahi_client_free) clientFree;
  decltype(&avahi_client_errno) clientErrno;
  decltype(&avahi_client_get_state) clientState;
  decltype(&avahi_entry_group_new) groupNew;
  decltype(&avahi_entry_group_reset) groupReset;
  decltype(&avahi_entry_group_free) groupFree;
  decltype(&avahi_entry_group_commit) groupCommit;
  decltype(&avahi_entry_group_get_client) groupClient;
  decltype(&avahi_entry_group_add_service_strlst) addService;
  decltype(&avahi_string_list_new_from_array) listNew;
  decltype(&avahi_string_list_free) listFree;
  decltype(&avahi_alternative_service_name) alternativeName;
  decltype(&avahi_free) free;
  decltype(&avahi_strerror) strError;
};

const AvahiApi* LoadAvahi(std::string& reason) {
  static AvahiApi api{};
  static bool loaded = false;
  if (loaded) return &api;
  SharedLibrary library("libavahi-client.so.3", reason);
  const bool ok = library.opened() && library.Bind("avahi_threaded_poll_new", api.pollNew) &&
                  library.Bind("avahi_threaded_poll_get", api.pollGet) &&
                  library.Bind("avahi_threaded_poll_start", api.pollStart) &&
                  library.Bind("avahi_threaded_poll_stop", api.pollStop) &&
                  library.Bind("avahi_threaded_poll_free", api.pollFree) &&
                  library.Bind("avahi_client_new", api.clientNew) &&
                  library.Bind("avahi_client_free", api.clientFree) &&
                  library.Bind("avahi_client_errno", api.clientErrno) &&
                  library.Bind("avahi_client_get_state", api.clientState) &&
                  library.Bind("avahi_entry_group_new", api.groupNew) &&
                  library.Bind("avahi_entry_group_reset", api.groupReset) &&
                  library.Bind("avahi_entry_group_free", api.groupFree) &&
                  library.Bind("avahi_entry_group_commit", api.groupCommit) &&
                  library.Bind("avahi_entry_group_get_client", api.groupClient) &&
                  library.Bind("avahi_entry_group_add_service_strlst", api.addService) &&
                  library.Bind("avahi_string_list_new_from_array", api.listNew) &&
                  library.Bind("avahi_string_list_free", api.listFree) &&
                  library.Bind("avahi_alternative_service_name", api.alternativeName) &&
                  library.Bind("avahi_free", api.free) && library.Bind("avahi_strerror", api.strError);
  if (!ok) return nullptr;
  library.Keep();
  loaded = true;
  return &api;
}

void Warn(const std::string& why) {
  std::fprintf(stderr, "tarvel: warning: not announced on the network (DNS-SD): %s\n", why.c_str());
}

// Where the announcement goes: the interface holding the address the server
// listens on and that address's family; every interface for a wildcard.
struct Scope {
  AvahiIfIndex interface = AVAHI_IF_UNSPEC;
  AvahiProtocol protocol = AVAHI_PROTO_UNSPEC;
};

Scope ScopeOf(const std::string& host) {
  Scope scope;
  in_addr v4{};
  in6_addr v6{};
  const bool isV4 = inet_pton(AF_INET, host.c_str(), &v4) == 1;
  const bool isV6 = !isV4 && inet_pton(AF_INET6, host.c_str(), &v6) == 1;
  if (isV4) scope.protocol = AVAHI_PROTO_INET;
  if (isV6) scope.protocol = AVAHI_PROTO_INET6;
  if ((isV4 && v4.s_addr == htonl(INADDR_ANY)) || (isV6 && IN6_IS_ADDR_UNSPECIFIED(&v6))) return scope;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return scope;
  for (const ifaddrs* a = list; a != nullptr; a = a->ifa_next) {
    if (a->ifa_addr == nullptr) continue;
    bool same = false;
    if (isV4 && a->ifa_addr->sa_family == AF_INET) {
      sockaddr_in in{};
      std::memcpy(&in, a->ifa_addr, sizeof in);
      same = in.sin_addr.s_addr == v4.s_addr;
    } else if (isV6 && a->ifa_addr->sa_family == AF_INET6) {
      sockaddr_in6 in{};
      std::memcpy(&in, a->ifa_addr, sizeof in);
      same = std::memcmp(&in.sin6_addr, &v6, sizeof v6) == 0;
    }
    if (same) {
      scope.interface = static_cast<AvahiIfIndex>(if_nametoindex(a->ifa_name));
      break;
    }
  }
  freeifaddrs(list);
  return scope;
}

// Avahi's own thread runs the callbacks; the constructor and destructor run
// while that thread is not running, so nothing here is shared unguarded.
class AvahiAnnouncement final : public Announcement {
 public:
  AvahiAnnouncement(const AvahiApi& api, const ServiceAnnouncement& service)
      : api_(api),
        name_(service.name),
        port_(service.port),
        txt_(IdnTxtRecords(service.idn)),
        scope_(ScopeOf(service.listenHost)) {}
  ~AvahiAnnouncement() override {
    if (poll_ != nullptr) api_.pollStop(poll_);
    if (client_ != nullptr) api_.clientFree(client_);  // withdraws the service
    if (poll_ != nullptr) api_.pollFree(poll_);
  }
  AvahiAnnouncement(const AvahiAnnouncement&) = delete;
  AvahiAnnouncement& operator=(const AvahiAnnouncement&) = delete;

  bool Start(std::string& reason) {
    poll_ = api_.pollNew();
    if (poll_ == nullptr) return reason = "cannot start Avahi's event thread", false;
    int error = 0;
    // NO_FAIL: a daemon not running yet, or restarting later, is waited for.
    client_ = api_.clientNew(api_.pollGet(poll_), AVAHI_CLIENT_NO_FAIL, &OnClient, this, &error);
    if (client_ == nullptr) return reason = std::string("avahi-daemon: ") + api_.strError(error), false;
    if (failed_) return reason = failure_, false;
    if (api_.clientState(client_) == AVAHI_CLIENT_CONNECTING) {
      Warn("avahi-daemon is not running; announced once it starts");
    }
    if (api_.pollStart(poll_) < 0) return reason = "cannot start Avahi's event thread", false;
    return true;
  }

 private:
  static void OnClient(AvahiClient* client, AvahiClientState state, void* self) {
    auto& me = *static_cast<AvahiAnnouncement*>(self);
    if (state == AVAHI_CLIENT_S_RUNNING) {
      me.Publish(client);
    } else if (state == AVAHI_CLIENT_CONNECTING) {
      // The daemon went away: its entry group went with it. Published anew
      // once it is back and running.
      if (me.group_ != nullptr) me.api_.groupFree(me.group_);
      me.group_ = nullptr;
    } else if (state == AVAHI_CLIENT_S_COLLISION || state == AVAHI_CLIENT_S_REGISTERING) {
      if (me.group_ != nullptr) me.api_.groupReset(me.group_);  // published again once running
    } else if (state == AVAHI_CLIENT_FAILURE && me.client_ == client &&
               me.api_.clientErrno(client) == AVAHI_ERR_DISCONNECTED) {
      me.Reconnect();
    } else if (state == AVAHI_CLIENT_FAILURE) {
      me.Fail(client);
    }
  }

  // The daemon went away (it restarted, or was stopped): a new client waits
  // for it and publishes again once it runs, as avahi-browse does. Runs on
  // Avahi's thread, inside the old client's callback.
  void Reconnect() {
    std::fputs("tarvel: avahi-daemon went away; announcing again once it is back\n", stderr);
    api_.clientFree(client_);  // frees the group too
    client_ = nullptr;
    group_ = nullptr;
    int error = 0;
    AvahiClient* fresh = api_.clientNew(api_.pollGet(poll_), AVAHI_CLIENT_NO_FAIL, &OnClient, this, &error);
    if (fresh == nullptr) return Warn(std::string("avahi-daemon: ") + api_.strError(error));
    client_ = fresh;
  }

  static void OnGroup(AvahiEntryGroup* group, AvahiEntryGroupState state, void* self) {
    auto& me = *static_cast<AvahiAnnouncement*>(self);
    if (state == AVAHI_ENTRY_GROUP_COLLISION) {
      me.TakeNextName();  // another host on the network has it
      me.Publish(me.api_.groupClient(group));
    } else if (state == AVAHI_ENTRY_GROUP_FAILURE) {
      me.Fail(me.api_.groupClient(group));
    }
  }

  void Publish(AvahiClient* client) {
    if (group_ == nullptr) group_ = api_.groupNew(client, &OnGroup, this);
    if (group_ == nullptr) return Fail(client);
    api_.groupReset(group_);
    std::vector<const char*> records;
    for (const std::string& r : txt_) records.push_back(r.c_str());
    AvahiStringList* list = api_.listNew(records.data(), static_cast<int>(records.size()));
    int rc = AVAHI_ERR_COLLISION;
    // A service of this host holds the name ("Local name collision"): the
    // next name, as for a collision on the network.
    for (int tries = 0; rc == AVAHI_ERR_COLLISION && tries < kNameTries; ++tries) {
      if (tries > 0) TakeNextName();
      rc = api_.addService(group_, scope_.interface, scope_.protocol, AvahiPublishFlags(0), name_.c_str(),
                           kScpiServiceType, nullptr, nullptr, port_, list);
    }
    api_.listFree(list);
    if (rc < 0 || api_.groupCommit(group_) < 0) Fail(client);
  }

  // Avahi's next name ("NAME #2", then "NAME #3"), said on standard error.
  void TakeNextName() {
    char* other = api_.alternativeName(name_.c_str());
    if (other == nullptr) return;
    std::fprintf(stderr, "tarvel: the name \"%s\" is taken on the network; announced as \"%s\"\n",
                 name_.c_str(), other);
    name_ = other;
    api_.free(other);
  }

  static constexpr int kNameTries = 20;

  void Fail(AvahiClient* client) {
    if (failed_) return;
    failed_ = true;
    failure_ = std::string("avahi-daemon: ") + api_.strError(api_.clientErrno(client));
    if (client_ != nullptr) Warn(failure_);  // after start: said here, once
  }

  const AvahiApi& api_;
  std::string name_;
  std::uint16_t port_;
  std::vector<std::string> txt_;
  Scope scope_;
  AvahiThreadedPoll* poll_ = nullptr;
  AvahiClient* client_ = nullptr;
  AvahiEntryGroup* group_ = nullptr;  // freed with the client
  bool failed_ = false;
  std::string failure_;
};

}  // namespace

std::unique_ptr<Announcement> AnnounceScpiServer(const ServiceAnnouncement& service) {
  std::string reason;
  const AvahiApi* api = LoadAvahi(reason);
  if (api == nullptr) {
    Warn(reason + " (install libavahi-client3 and avahi-daemon)");
    return nullptr;
  }
  auto announcement = std::make_unique<AvahiAnnouncement>(*api, service);
  if (!announcement->Start(reason)) {
    Warn(reason);
    return nullptr;
  }
  return announcement;
}

}  // namespace tarvel
