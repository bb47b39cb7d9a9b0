// The name -> node map the reader's naming implies: every naming in the
// reader's order, a later naming of a name overwriting the earlier one.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "tree/tree.hpp"

namespace cladorix::reference {

inline std::map<std::string, NodeId, std::less<>> taxa_map(const Tree& t) {
  std::map<std::string, NodeId, std::less<>> out;
  for (const NodeId v : t.naming_order()) out[std::string(t.name(v))] = v;
  return out;
}

inline std::optional<NodeId> taxa_node_id(const Tree& t, std::string_view name) {
  const auto map = taxa_map(t);
  const auto it = map.find(name);
  if (it == map.end()) return std::nullopt;
  return it->second;
}

}  // namespace cladorix::reference
