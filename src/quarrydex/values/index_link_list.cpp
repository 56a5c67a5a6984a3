#include "values/index_link_list.hpp"

#include <algorithm>
#include <memory>

namespace qdx {
IndexLinks::~IndexLinks() {
  const uintptr_t word = load();
  if (word == 0) return;
  if ((word & kMany) == 0) {
    IndexAnchor::release(reinterpret_cast<IndexAnchor*>(word));
    return;
  }
  const std::unique_ptr<Many> many(reinterpret_cast<Many*>(word & ~kMany));
}

void IndexLinks::add(IndexAnchor& anchor) {
  const uintptr_t word = load();
  if (word == 0) {
    store(reinterpret_cast<uintptr_t>(IndexAnchor::retain(&anchor)));
    return;
  }
  if (word == reinterpret_cast<uintptr_t>(&anchor)) return;
  if ((word & kMany) == 0 && reinterpret_cast<const IndexAnchor*>(word)->expired()) {
    // The one index is gone: the new link takes its place.
    IndexAnchor::release(reinterpret_cast<IndexAnchor*>(word));
    store(reinterpret_cast<uintptr_t>(IndexAnchor::retain(&anchor)));
    return;
  }
  Many links = take_all();
  std::erase_if(links, [](const AnchorRef& link) { return link->expired(); });
  // Addresses are fixed for an anchor's life and the links are sorted, so a
  // binary search finds the place; no live index shares an address.
  const auto place = std::lower_bound(links.begin(), links.end(), anchor.address(),
                                      [](const AnchorRef& link, const void* address) {
                                        return std::less<const void*>()(link->address(), address);
                                      });
  if (place == links.end() || place->get() != &anchor) {
    links.insert(place, AnchorRef::adopt(IndexAnchor::retain(&anchor)));
  }
  put_all(std::move(links));
}

void IndexLinks::remove(const void* address) {
  const uintptr_t word = load();
  if (word == 0) return;
  if ((word & kMany) == 0) {
    const IndexAnchor* one = reinterpret_cast<const IndexAnchor*>(word);
    if (one->address() != address && !one->expired()) return;
    store(0);
    IndexAnchor::release(reinterpret_cast<IndexAnchor*>(word));
    return;
  }
  Many links = take_all();
  std::erase_if(
      links, [&](const AnchorRef& link) { return link->address() == address || link->expired(); });
  put_all(std::move(links));
}

IndexLinks::Many IndexLinks::take_all() {
  const uintptr_t word = load();
  store(0);
  Many links;
  if (word == 0) return links;
  if ((word & kMany) == 0) {
    // Should the push fail, the count is dropped and the unwinding guard
    // marks the links failed.
    AnchorRef one = AnchorRef::adopt(reinterpret_cast<IndexAnchor*>(word));
    links.push_back(std::move(one));
    return links;
  }
  const std::unique_ptr<Many> many(reinterpret_cast<Many*>(word & ~kMany));
  return std::move(*many);
}

void IndexLinks::put_all(Many links) {
  if (links.empty()) return;
  if (links.size() == 1) {
    store(reinterpret_cast<uintptr_t>(links.front().release()));
    return;
  }
  store(reinterpret_cast<uintptr_t>(std::make_unique<Many>(std::move(links)).release()) | kMany);
}

}  // namespace qdx
