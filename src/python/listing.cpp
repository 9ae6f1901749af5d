#include "python/listing.h"

namespace tarnwick::python {

Listing& listing() {
    static Listing the_listing;
    return the_listing;
}

std::string alias(const char* name, const char* definition) {
    std::vector<ListedAlias>& aliases = listing().aliases;
    bool listed = false;
    for (const ListedAlias& a : aliases) listed = listed || a.name == name;
    if (!listed) aliases.push_back({name, definition});
    return name;
}

}  // namespace tarnwick::python
