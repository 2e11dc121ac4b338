// The immutable graph a sampler reads: declared node and edge types, their
// key strings, and per edge type the CSC arrays (`colptr` indexed by
// destination id, `row` holding source ids), per node type optional times.
//
//   GraphStore store({"user", "item"}, {{"user", "rates", "item"}});
//   store.set_edge_arrays(0, colptr_view, row_view);
//   store.set_node_time(0, user_time_view);
//
// The store keeps views only; the caller keeps the arrays alive for the
// store's lifetime. Nothing here knows about Python.
#ifndef TOVALIB_STORE_GRAPH_STORE_H_
#define TOVALIB_STORE_GRAPH_STORE_H_

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "store/edge_type.h"
#include "store/int64_view.h"

namespace tovalib {

// Position of each name in its declaration list: look-ups by name take
// constant time however many types a graph declares.
using NameIndex = std::unordered_map<std::string, int64_t>;

class GraphStore {
 public:
  // Throws std::runtime_error naming the first node type declared twice or
  // the first edge type key that two edge types share: either would make
  // two types write into one set of results.
  GraphStore(std::vector<std::string> node_types, std::vector<EdgeType> edge_types);

  const std::vector<std::string>& node_types() const { return node_types_; }
  const std::vector<EdgeType>& edge_types() const { return edge_types_; }
  const std::vector<std::string>& edge_type_keys() const { return edge_type_keys_; }
  int64_t num_node_types() const { return static_cast<int64_t>(node_types_.size()); }
  int64_t num_edge_types() const { return static_cast<int64_t>(edge_types_.size()); }

  // Index of `name` among the node types, or -1.
  int64_t node_type_index(const std::string& name) const;
  const NameIndex& node_type_positions() const { return node_index_; }
  const NameIndex& edge_type_key_positions() const { return edge_key_index_; }

  // Node type index of an edge type's source / destination, -1 when the
  // edge type names a node type that was not declared.
  int64_t src_index(int64_t edge) const { return src_index_[static_cast<size_t>(edge)]; }
  int64_t dst_index(int64_t edge) const { return dst_index_[static_cast<size_t>(edge)]; }

  void set_edge_arrays(int64_t edge, Int64View colptr, Int64View row);
  void set_node_time(int64_t node_type, Int64View times);

  Int64View colptr(int64_t edge) const { return colptr_[static_cast<size_t>(edge)]; }
  Int64View row(int64_t edge) const { return row_[static_cast<size_t>(edge)]; }
  bool has_node_time(int64_t node_type) const {
    return has_time_[static_cast<size_t>(node_type)];
  }
  Int64View node_time(int64_t node_type) const { return time_[static_cast<size_t>(node_type)]; }
  // True when at least one node type has a time array.
  bool has_any_node_time() const { return num_time_views_ > 0; }

 private:
  std::vector<std::string> node_types_;
  std::vector<EdgeType> edge_types_;
  std::vector<std::string> edge_type_keys_;
  NameIndex node_index_;
  NameIndex edge_key_index_;
  std::vector<int64_t> src_index_;
  std::vector<int64_t> dst_index_;
  std::vector<Int64View> colptr_;
  std::vector<Int64View> row_;
  std::vector<Int64View> time_;
  std::vector<bool> has_time_;
  int64_t num_time_views_ = 0;
};

}  // namespace tovalib

#endif  // TOVALIB_STORE_GRAPH_STORE_H_
