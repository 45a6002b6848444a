#include "platform/linux/atspi/bus_port.h"

namespace larkspire::linux_backend::atspi {

Reply BusPort::call(Call c) {
  std::vector<Call> one;
  one.push_back(std::move(c));
  return std::move(callAll(std::move(one)).front());
}

Reply BusPort::property(const std::string& bus, const std::string& path, const char* interface, const char* name) {
  Reply reply =
      call(Call{bus, path, "org.freedesktop.DBus.Properties", "Get", g_variant_new("(ss)", interface, name), "(v)"});
  if (!reply.ok()) return reply;
  GVariant* inner = nullptr;
  g_variant_get(reply.value.get(), "(v)", &inner);
  reply.value.reset(inner);
  return reply;
}

}  // namespace larkspire::linux_backend::atspi
