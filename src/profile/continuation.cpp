#include "profile/continuation.h"

namespace gemmel {

Text join(std::string_view text) {
  Text joined;
  joined.reserve(text.size());
  Continuations found(text);
  std::size_t from = 0;
  while (const std::optional<Continuation> next = found.next()) {
    joined.append(text.substr(from, next->at - from));
    from = next->at + next->size;
  }
  joined.append(text.substr(from));
  return joined;
}

}  // namespace gemmel
