#include "app/Announce.h"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/strlst.h>
#include <avahi-common/thread-watch.h>

#include <cstdio>

#include "core/platform/SharedLibrary.h"
#include "instrument/Scpi.h"

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
  decltype(&avahi_entry_group_new) groupNew;
  decltype(&avahi_entry_group_reset) groupReset;
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
                  library.Bind("avahi_entry_group_new", api.groupNew) &&
                  library.Bind("avahi_entry_group_reset", api.groupReset) &&
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

// Avahi's own thread runs the callbacks; the constructor and destructor run
// while that thread is not running, so nothing here is shared unguarded.
class AvahiAnnouncement final : public Announcement {
 public:
  AvahiAnnouncement(const AvahiApi& api, std::string name, std::uint16_t port)
      : api_(api), name_(std::move(name)), port_(port), txt_(IdnTxtRecords(ScpiIdentity())) {}
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
    client_ = api_.clientNew(api_.pollGet(poll_), AvahiClientFlags(0), &OnClient, this, &error);
    if (client_ == nullptr) return reason = std::string("avahi-daemon: ") + api_.strError(error), false;
    if (failed_) return reason = failure_, false;
    if (api_.pollStart(poll_) < 0) return reason = "cannot start Avahi's event thread", false;
    return true;
  }

 private:
  static void OnClient(AvahiClient* client, AvahiClientState state, void* self) {
    auto& me = *static_cast<AvahiAnnouncement*>(self);
    if (state == AVAHI_CLIENT_S_RUNNING) {
      me.Publish(client);
    } else if (state == AVAHI_CLIENT_S_COLLISION || state == AVAHI_CLIENT_S_REGISTERING) {
      if (me.group_ != nullptr) me.api_.groupReset(me.group_);  // published again once running
    } else if (state == AVAHI_CLIENT_FAILURE) {
      me.Fail(client);
    }
  }

  static void OnGroup(AvahiEntryGroup* group, AvahiEntryGroupState state, void* self) {
    auto& me = *static_cast<AvahiAnnouncement*>(self);
    if (state == AVAHI_ENTRY_GROUP_COLLISION) {
      // Another service has the name: take Avahi's next one ("NAME #2").
      char* other = me.api_.alternativeName(me.name_.c_str());
      if (other != nullptr) {
        std::fprintf(stderr, "tarvel: the name \"%s\" is taken on the network; announced as \"%s\"\n",
                     me.name_.c_str(), other);
        me.name_ = other;
        me.api_.free(other);
      }
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
    const int rc = api_.addService(group_, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0),
                                   name_.c_str(), kScpiServiceType, nullptr, nullptr, port_, list);
    api_.listFree(list);
    if (rc < 0 || api_.groupCommit(group_) < 0) Fail(client);
  }

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
  AvahiThreadedPoll* poll_ = nullptr;
  AvahiClient* client_ = nullptr;
  AvahiEntryGroup* group_ = nullptr;  // freed with the client
  bool failed_ = false;
  std::string failure_;
};

}  // namespace

std::unique_ptr<Announcement> AnnounceScpiServer(const std::string& name, std::uint16_t port) {
  std::string reason;
  const AvahiApi* api = LoadAvahi(reason);
  if (api == nullptr) {
    Warn(reason + " (install libavahi-client3 and avahi-daemon)");
    return nullptr;
  }
  auto announcement = std::make_unique<AvahiAnnouncement>(*api, name, port);
  if (!announcement->Start(reason)) {
    Warn(reason);
    return nullptr;
  }
  return announcement;
}

}  // namespace tarvel
