#include "platform/linux/atspi/registry.h"

#include "platform/linux/atspi/element.h"
#include "platform/linux/atspi/snapshot.h"

namespace larkspire::linux_backend::atspi {

std::vector<RegisteredApplication> registeredApplications(BusPort& bus) {
  Reply apps = bus.call(
      Call{"org.a11y.atspi.Registry", kRootPath, "org.a11y.atspi.Accessible", "GetChildren", nullptr, "(a(so))"});
  if (!apps.ok()) return {};
  auto list = objectList(apps.value.get());
  std::vector<Call> calls;
  calls.reserve(list.size());
  for (const auto& [name, path] : list)
    calls.push_back(Call{"org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                         "GetConnectionUnixProcessID", g_variant_new("(s)", name.c_str()), "(u)"});
  auto replies = bus.callAll(std::move(calls));
  std::vector<RegisteredApplication> registered;
  for (std::size_t i = 0; i < replies.size(); ++i) {
    if (!replies[i].ok()) continue;
    guint32 owner = 0;
    g_variant_get(replies[i].value.get(), "(u)", &owner);
    registered.push_back(RegisteredApplication{list[i].first, static_cast<platform::Pid>(owner)});
  }
  RegistryListing& last = bus.registryListing();
  std::lock_guard<std::mutex> lock(last.mutex);
  last.at = bus.now();
  last.applications = registered;
  return registered;
}

std::string registeredBusName(BusPort& bus, platform::Pid pid) {
  // Finding an application and then addressing it lists the registry
  // twice within milliseconds; a bus name stays its owner's while the
  // owner runs.
  constexpr double kListingFresh = 1.0;
  if (pid <= 0) return {};
  {
    RegistryListing& last = bus.registryListing();
    std::lock_guard<std::mutex> lock(last.mutex);
    if (last.at >= 0 && bus.now() - last.at < kListingFresh) {
      for (const auto& application : last.applications)
        if (application.pid == pid) return application.busName;
    }
  }
  for (const auto& application : registeredApplications(bus))
    if (application.pid == pid) return application.busName;
  return {};
}

}  // namespace larkspire::linux_backend::atspi
