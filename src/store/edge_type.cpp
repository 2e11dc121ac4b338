#include "store/edge_type.h"

namespace tovalib {

std::string edge_type_key(const EdgeType& edge_type) {
  std::string key;
  key.reserve(edge_type.src.size() + edge_type.relation.size() +
              edge_type.dst.size() + 4);
  key += edge_type.src;
  key += "__";
  key += edge_type.relation;
  key += "__";
  key += edge_type.dst;
  return key;
}

}  // namespace tovalib
