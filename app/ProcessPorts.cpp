#include "app/ProcessPorts.h"

#include "capture/PortCapture.h"
#include "device/DeviceLink.h"
#include "ports/PortSelect.h"

namespace tarvel {

void UseProcessPorts() {
  DeviceLink& link = ProcessLink();
  link.SetBackendFactory(&MakePortBackendFromEnvironment);
  link.SetAccessSink(&RecentPortAccesses());
}

}  // namespace tarvel
