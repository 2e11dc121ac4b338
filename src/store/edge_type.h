// Edge types and their key strings.
//
// An edge type is a (source node type, relation, destination node type)
// triple. Every edge-type-keyed dictionary, given or returned, uses the key
// "source__relation__destination":
//
//   EdgeType et{"user", "rates", "item"};
//   edge_type_key(et);  // "user__rates__item"
#ifndef TOVALIB_STORE_EDGE_TYPE_H_
#define TOVALIB_STORE_EDGE_TYPE_H_

#include <string>

namespace tovalib {

struct EdgeType {
  std::string src;       // node type whose ids are stored in `row`
  std::string relation;
  std::string dst;       // node type whose ids index `colptr`
};

// Plain concatenation, no escaping: two triples whose names contain "__"
// can produce the same key, which the store refuses at construction.
std::string edge_type_key(const EdgeType& edge_type);

}  // namespace tovalib

#endif  // TOVALIB_STORE_EDGE_TYPE_H_
