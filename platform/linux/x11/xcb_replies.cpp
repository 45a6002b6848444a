#include "platform/linux/x11/xcb_replies.h"

#include <utility>

namespace larkspire::linux_backend {

std::unordered_map<unsigned long, std::string> atomNames(xcb_connection_t* connection,
                                                         const std::vector<unsigned long>& atoms) {
  std::unordered_map<unsigned long, std::string> names;
  std::vector<std::pair<unsigned long, xcb_get_atom_name_cookie_t>> asked;
  for (unsigned long atom : atoms) {
    if (names.emplace(atom, std::string()).second) {
      asked.emplace_back(atom, xcb_get_atom_name(connection, static_cast<xcb_atom_t>(atom)));
    }
  }
  for (auto& [atom, cookie] : asked) {
    if (auto reply = xcbReply(connection, xcb_get_atom_name_reply, cookie)) {
      names[atom].assign(xcb_get_atom_name_name(reply.get()),
                         static_cast<std::size_t>(xcb_get_atom_name_name_length(reply.get())));
    } else {
      names.erase(atom);
    }
  }
  return names;
}

}  // namespace larkspire::linux_backend
