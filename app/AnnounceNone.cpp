// A build for a system without Avahi (Windows): the server serves as
// before and says once that it is not announced.
#include <cstdio>

#include "app/Announce.h"

namespace tarvel {

std::unique_ptr<Announcement> AnnounceScpiServer(const ServiceAnnouncement& service) {
  std::fprintf(stderr,
               "tarvel: warning: not announced on the network (DNS-SD): this build has no DNS-SD responder "
               "(\"%s\" on port %u; clients need the address)\n",
               service.name.c_str(), static_cast<unsigned>(service.port));
  return nullptr;
}

}  // namespace tarvel
