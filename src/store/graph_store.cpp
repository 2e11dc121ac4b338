#include "store/graph_store.h"

#include <stdexcept>
#include <utility>

namespace tovalib {

GraphStore::GraphStore(std::vector<std::string> node_types,
                       std::vector<EdgeType> edge_types)
    : node_types_(std::move(node_types)), edge_types_(std::move(edge_types)) {
  node_index_.reserve(node_types_.size());
  for (const auto& name : node_types_) {
    if (!node_index_.emplace(name, static_cast<int64_t>(node_index_.size())).second) {
      throw std::runtime_error("Duplicate node type '" + name + "' in node_types.");
    }
  }
  edge_key_index_.reserve(edge_types_.size());
  edge_type_keys_.reserve(edge_types_.size());
  for (const auto& et : edge_types_) {
    std::string key = edge_type_key(et);
    if (!edge_key_index_.emplace(key, static_cast<int64_t>(edge_key_index_.size())).second) {
      throw std::runtime_error("Duplicate edge type '" + key + "' in edge_types.");
    }
    edge_type_keys_.push_back(std::move(key));
    src_index_.push_back(node_type_index(et.src));
    dst_index_.push_back(node_type_index(et.dst));
  }
  colptr_.resize(edge_types_.size());
  row_.resize(edge_types_.size());
  time_.resize(node_types_.size());
  has_time_.assign(node_types_.size(), false);
}

int64_t GraphStore::node_type_index(const std::string& name) const {
  const auto it = node_index_.find(name);
  return it == node_index_.end() ? -1 : it->second;
}

void GraphStore::set_edge_arrays(int64_t edge, Int64View colptr, Int64View row) {
  colptr_.at(static_cast<size_t>(edge)) = colptr;
  row_.at(static_cast<size_t>(edge)) = row;
}

void GraphStore::set_node_time(int64_t node_type, Int64View times) {
  const auto i = static_cast<size_t>(node_type);
  time_.at(i) = times;
  if (!has_time_[i]) {
    has_time_[i] = true;
    ++num_time_views_;
  }
}

}  // namespace tovalib
