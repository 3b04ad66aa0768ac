// taf::UniAttribute: a container of named, typed values, the body of every packet. Under
// each attribute name it keeps one or more encoded values, each under the name of its type
// ("int32" for an int32, a record's own type_name for a record). One thread uses a container
// at a time.
//
// Encoded attribute map (the packet's Buffer field), in the tagged encoding:
//
//   Map at tag 0, count = number of names
//     per name, ascending:  name (string, tag 0)
//                           Map at tag 1, count = number of types
//                             per type, ascending:  type name (string, tag 0)
//                                                   encoded value (SimpleList, tag 1)
//
// An encoded value is the value written at tag 0: an int32 in its shortest form, a record
// as 0A, its fields, 0B.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "codec/jce_reader.h"
#include "codec/jce_writer.h"

namespace taf {

// The type name a value is stored under: "int32" for int32_t, R::type_name for a record.
template <typename T>
struct type_name_of {
    static const char* get() { return T::type_name; }
};
template <>
struct type_name_of<int32_t> {
    static const char* get() { return "int32"; }
};

// Attribute name -> type name -> encoded bytes. std::map<std::string, ...> orders keys byte
// by byte as unsigned bytes, the order the wire requires; the empty name sorts first.
using attribute_map = std::map<std::string, std::map<std::string, std::vector<char>>>;

class UniAttribute {
  public:
    UniAttribute() = default;
    UniAttribute(const UniAttribute&) = delete;
    UniAttribute& operator=(const UniAttribute&) = delete;

    // Stores value under name, replacing an earlier value of the same type under that name;
    // values of other types under the name stay. Raises what the writer raises.
    template <typename T>
    void put(const std::string& name, const T& value) {
        writer_.reset();
        writer_.write(value, 0);
        attributes_[name][type_name_of<T>::get()].assign(writer_.data(),
                                                         writer_.data() + writer_.length());
    }

    // Reads the value of type T stored under name. When the name holds no value of that
    // type, the value with the smallest type name is read instead, provided that type name
    // passes accepts_by_fallback (every record type name does, "int32" does not).
    // Raises std::runtime_error "UniAttribute not found key:<name>,type:<type>" when the
    // name is absent, "UniAttribute type match fail,key:<name>,type:<type>,[may be:<first>]"
    // when no value is acceptable, and the reader's JceDecodeException family when the bytes
    // do not decode as T.
    template <typename T>
    void get(const std::string& name, T& value) {
        const std::vector<char>& bytes = find_value(name, type_name_of<T>::get());
        reader_.set_buffer(bytes.data(), bytes.size());
        reader_.read(value, 0, true);
    }

    // True when a stored type name may be read as another type: it holds a '?' or any one
    // character of the package prefix. A test of single characters, not of a substring.
    static bool accepts_by_fallback(const std::string& stored_type_name);

  protected:
    const std::vector<char>& find_value(const std::string& name, const std::string& type) const;

    attribute_map attributes_;
    JceReader reader_;
    JceWriter writer_;
};

}  // namespace taf
