// The tagged binary encoding that every packet and record of the library is written in:
// type codes, head layout and limits, shared by taf::JceWriter and taf::JceReader.
//
// Every value is a head followed by its content. The head names the field's tag and the
// content's type, so a reader can find fields by tag, accept several widths for one
// integer and skip fields it does not know.
//
//   head, tag 0..14:    [ tag:4 | type:4 ]
//   head, tag 15..255:  [ 1111  | type:4 ] [ tag:8 ]
//
// Content after the head, all multi-byte numbers big-endian (network byte order):
//
//   Char         [ b ]                                     int8
//   Short        [ b1 b0 ]                                 int16
//   Int32        [ b3 b2 b1 b0 ]                           int32
//   Int64        8 bytes          Float 4 bytes   Double 8 bytes     (skipped only)
//   String1      [ n:8 ] n bytes                           strings below 256 bytes
//   String4      [ n:32 ] n bytes                          strings of 256 bytes or more
//   Map          count (int32 at tag 0), then count pairs: key at tag 0, value at tag 1
//   List         count (int32 at tag 0), then count elements, each with its own head
//   StructBegin  the struct's fields, each with its own head, up to a StructEnd head
//   StructEnd    nothing; always written with tag 0, as the single byte 0B
//   ZeroTag      nothing; the value is numeric zero
//   SimpleList   [ 00 ] (a Char head at tag 0), count (int32 at tag 0), count raw bytes
//
// Integers are written in their shortest form: 0 is a ZeroTag head alone, -128..127 a
// Char, -32768..32767 a Short, anything else an Int32. Byte vectors are always written as
// SimpleList; maps in ascending key order (bytes compared as unsigned). Type codes 14 and
// 15 are invalid.
#pragma once

#include <cstddef>
#include <cstdint>

namespace taf {

// Type codes: the low four bits of a head.
enum JceType : uint8_t {
    Char = 0,
    Short = 1,
    Int32 = 2,
    Int64 = 3,
    Float = 4,
    Double = 5,
    String1 = 6,
    String4 = 7,
    Map = 8,
    List = 9,
    StructBegin = 10,
    StructEnd = 11,
    ZeroTag = 12,
    SimpleList = 13,
};

// Largest string accepted when writing and when reading a String4 (100 MiB).
constexpr size_t max_string_bytes = 104857600;

// Deepest nesting of structs, lists and maps a reader descends into. Real messages nest
// two or three levels; the limit keeps skipping of hostile input off a deep call stack.
constexpr int max_nesting_depth = 64;

}  // namespace taf
