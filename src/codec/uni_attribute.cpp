// The attribute container of a packet: named values kept under their type names, encoded as
// the packet's attribute map.
#include "codec/uni_attribute.h"

#include <stdexcept>

namespace taf {

namespace {

// The reverse-domain package name whose characters admit a stored type name to the
// fallback of get. Only its set of characters matters: it holds a dot, so every dotted
// record type name passes, and none of the characters of "int32", so an int32 never does.
constexpr char package_prefix[] = "com.yoke";

constexpr bool shares_a_character(const char* text, const char* characters) {
    for (const char* c = characters; *c != '\0'; ++c) {
        for (const char* t = text; *t != '\0'; ++t) {
            if (*c == *t) {
                return true;
            }
        }
    }
    return false;
}

static_assert(sizeof package_prefix - 1 == 8, "the package prefix has eight characters");
static_assert(shares_a_character(package_prefix, "."), "the package prefix holds a dot");
static_assert(!shares_a_character(package_prefix, "int32"),
              "the package prefix must not admit the type name int32");

}  // namespace

bool UniAttribute::accepts_by_fallback(const std::string& stored_type_name) {
    return stored_type_name.find_first_of('?') != std::string::npos ||
           stored_type_name.find_first_of(package_prefix) != std::string::npos;
}

const std::vector<char>& UniAttribute::find_value(const std::string& name,
                                                  const std::string& type) const {
    const auto by_name = attributes_.find(name);
    if (by_name == attributes_.end()) {
        throw std::runtime_error("UniAttribute not found key:" + name + ",type:" + type);
    }
    const auto& by_type = by_name->second;
    const auto exact = by_type.find(type);
    if (exact != by_type.end()) {
        return exact->second;
    }
    if (!by_type.empty() && accepts_by_fallback(by_type.begin()->first)) {
        return by_type.begin()->second;
    }
    std::string message = "UniAttribute type match fail,key:" + name + ",type:" + type + ",";
    if (!by_type.empty()) {
        message += "may be:" + by_type.begin()->first;
    }
    throw std::runtime_error(message);
}

}  // namespace taf
